// Dump frames read on threads, straight into the outputs; the result, and
// the first failure in file order, are those of one thread.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/fields.hpp"
#include "core/frame_parts.hpp"
#include "core/line_blocks.hpp"
#include "core/line_cursor.hpp"
#include "core/line_ranges.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "core/piece.hpp"
#include "core/rows_on_threads.hpp"
#include "lammps/dump_frames.hpp"
#include "lammps/dump_head.hpp"
#include "lammps/dump_claimed.hpp"
#include "lammps/dump_placed.hpp"
#include "lammps/dump_rows.hpp"

namespace io_rs::lammps {
namespace {

bool rest_is_blank(std::string_view buffer, std::size_t from) {
  return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                     [](char c) { return is_separator(static_cast<unsigned char>(c)); });
}

// A frame the pass found: `natoms` atom lines there (all of them but in a
// frame cut short), from atoms_start to atoms_end, rows from first_atom.
struct FoundFrame {
  std::size_t natoms, atoms_start, atoms_end, first_atom;
  std::size_t declared;  // the header's count
  std::size_t frame_offset;
  std::uint64_t line;
};

// What ended the reading in a part: an atom line that failed, or the
// buffer's open last line (a file cut short mid-line).
struct PartStop {
  std::size_t frame;
  std::optional<Error> error;
  std::optional<Cut> cut;
};

}  // namespace

// One large frame that runs to the end of the buffer (a file of one frame):
// its atom lines read as ranges straight into the outputs, without a pass
// over them first. Nothing when the frame is not that (its count and first
// atom line say it is not most of the buffer, or its lines turn out not to
// be exactly natoms to the end, or the last line is cut): the other readers
// then read it and say how it ends.
std::optional<Result<DumpFrames>> read_one_large_frame(std::string_view buffer, std::size_t offset,
                                                       std::optional<std::uint64_t> max_frames, const Base& base,
                                                       std::size_t threads, bool sort) {
  if (max_frames && *max_frames == 0) return std::nullopt;
  LineCursor lines(buffer, offset);
  const LineCount count{place_of(buffer, base, offset).line};
  while (!lines.done() && is_blank(lines.peek())) lines.next();
  const std::uint64_t frame_line = count.at(lines.taken());
  const std::uint64_t frame = base.frame + 1;
  FrameHead head;
  std::size_t frame_offset = lines.offset();
  auto ended = take_head(buffer, base, lines, frame, head, frame_offset);
  if (!ended || *ended != HeadEnd::Read || lines.done()) return std::nullopt;
  const std::size_t natoms = static_cast<std::size_t>(head.natoms);
  const std::size_t atoms_start = lines.offset();
  if (!likely_one_large_frame(buffer, atoms_start, natoms, lines.peek())) return std::nullopt;
  auto layout = frame_layout(buffer, base, head, frame);
  if (!layout) return Result<DumpFrames>(std::unexpected(std::move(layout.error())));  // nothing comes before it

  DumpFrames read;
  read.layout = std::move(*layout);
  reserve_rows(read.layout, read.data, natoms);
  const std::vector<FieldPlan> plan = plan_of(read.layout, read.data);
  struct Failure {
    std::optional<Error> error;  // none: the buffer's open last line, cut
  };
  const std::size_t bytes = buffer.size() - atoms_start;
  threads = threads_for(threads, bytes);
  auto whole_frame = [&](std::size_t rows_end) {
    read.frames.push_back(FrameEntry{base.byte + frame_offset, frame_line, head.natoms, 0, head.timestep,
                                     base.byte + rows_end});
    read.heads.push_back(std::move(head));
    read.atoms = natoms;
    read.end = buffer.size();
    read.end_line = 0;  // not counted: nothing follows
    return Result<DumpFrames>(std::move(read));
  };
  // Ids numbered from 1, as LAMMPS numbers atoms: each thread places the
  // rows of its share of them. Ids that look in order already (runs of ids
  // are placed faster than moved as blocks on threads), and anything else,
  // are read in parts in file order, then sorted.
  if (sort && !(placeable(read.layout) &&
                look_at_ids(buffer, atoms_start, buffer.size(), natoms) == IdsLook::InOrder)) {
    if (const auto placed = place_frame_on_threads(read.layout, read.data, buffer, atoms_start, natoms, plan, 1, threads)) {
      if (!rest_is_blank(buffer, *placed)) return std::nullopt;
      return whole_frame(*placed);
    }
  }
  LineRanges ranges(buffer, atoms_start, buffer.size(), part_bytes(bytes, threads));
  std::vector<std::optional<Failure>> failures(ranges.size());
  bool to_the_end = false;  // row natoms - 1 read, and only blanks after it
  std::size_t rows_end = buffer.size();  // past the last atom line
  const std::size_t stopped = read_rows_on_threads(ranges, natoms, threads,
      [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t end) -> RowsRead {
    const RowRun run = read_rows(buffer, begin, end, static_cast<std::size_t>(natoms - first), plan, first);
    if (run.failure.problem != RowProblem::None) {
      if (open_last_line(buffer, run.line_offset, run.line.size())) {
        failures[k] = Failure{};
      } else {
        failures[k] = Failure{row_error(run.failure, read.layout, run.line, frame, first + run.read, natoms, buffer,
                                        base, run.line_offset)};
      }
      return {run.read, true};
    }
    if (first + run.read == natoms && run.read > 0) {
      to_the_end = rest_is_blank(buffer, run.next);
      rows_end = run.next;
      return {run.read, true};
    }
    return {run.read, false};
  });
  if (stopped < ranges.size() && failures[stopped]) {
    if (!failures[stopped]->error) return std::nullopt;
    return Result<DumpFrames>(std::unexpected(std::move(*failures[stopped]->error)));
  }
  if (!to_the_end) return std::nullopt;
  if (sort) sort_frame_rows(read.layout, read.data, 0, natoms, threads);
  return whole_frame(rows_end);
}

// Many frames on threads. One pass on the calling thread reads each header
// and passes over the atom lines by counting line ends, up to max_frames;
// the outputs are then made for exactly those rows, and the atom lines read
// in parts of whole frames (a frame much larger than a part cut at line
// starts) that the threads claim in turn, each whole frame sorted by the
// part that read it, the cut ones after. A header that fails, a frame of
// other columns or a file cut short ends the pass; the lines before it are
// read all the same, so that the first failure in file order is reported,
// as with one thread. Nothing when the first frame's header does not read.
std::optional<Result<DumpFrames>> read_on_threads(std::string_view buffer, std::size_t offset,
                                                  std::optional<std::uint64_t> max_frames, const Base& base,
                                                  std::size_t threads, bool sort) {
  if (max_frames && *max_frames == 0) return std::nullopt;
  LineCursor lines(buffer, offset);
  const LineCount count{place_of(buffer, base, offset).line};
  DumpFrames read;
  read.end = offset;
  read.end_line = count.line0;
  std::vector<FoundFrame> found;
  std::optional<Error> stop_error;
  std::optional<Cut> stop_cut;
  std::string_view columns;
  std::size_t atoms = 0;
  // Reading to the end of the buffer, large frames are skipped by blocks
  // counted on the threads; reading a few frames, the pass reads no byte
  // past them.
  std::optional<LineBlocks> blocks;
  if (!max_frames) blocks.emplace(buffer, offset, threads);
  for (;;) {
    while (!lines.done() && is_blank(lines.peek())) lines.next();
    const std::uint64_t frame_line = count.at(lines.taken());
    if (lines.done()) {
      read.end = buffer.size();
      read.end_line = frame_line;
      break;
    }
    if (max_frames && found.size() >= *max_frames) break;
    const std::uint64_t number = base.frame + found.size() + 1;
    FrameHead head;
    std::size_t frame_offset = lines.offset();
    auto ended = take_head(buffer, base, lines, number, head, frame_offset);
    if (found.empty() && (!ended || *ended != HeadEnd::Read)) return std::nullopt;
    if (!ended) {
      stop_error = std::move(ended.error());
      break;
    }
    const Place frame_place{frame_line, base.byte + frame_offset, number};
    if (*ended == HeadEnd::Cut) {
      stop_cut = Cut{number, frame_place, fill_message("frame {} ends in its header", {number})};
      break;
    }
    if (found.empty()) {
      auto layout = frame_layout(buffer, base, head, number);
      if (!layout) return Result<DumpFrames>(std::unexpected(std::move(layout.error())));  // nothing comes before it
      read.layout = std::move(*layout);
      columns = head.columns;
    } else if (!same_layout(buffer, head, columns, read.layout)) {
      read.end = frame_offset;  // a frame of other columns starts the next run
      read.end_line = frame_line;
      break;
    }
    const std::size_t natoms = static_cast<std::size_t>(head.natoms);
    const std::size_t atoms_start = lines.offset();
    const std::size_t present = blocks ? blocks->skip(lines, natoms) : lines.skip(natoms);
    found.push_back({present, atoms_start, lines.offset(), atoms, natoms, frame_offset, frame_line});
    atoms += present;
    if (present < natoms) {
      // The frame's lines are read all the same: a bad line among them comes first.
      const bool open_end = present > 0 && buffer.back() != '\n';
      stop_cut = Cut{number, frame_place, atoms_cut_problem(number, present - (open_end ? 1 : 0), natoms)};
      break;
    }
    read.frames.push_back(FrameEntry{base.byte + frame_offset, frame_line, head.natoms, 0, head.timestep,
                                     base.byte + lines.offset()});
    read.heads.push_back(std::move(head));
    read.end = lines.offset();
    read.end_line = count.at(lines.taken());
  }

  if (found.empty()) return std::nullopt;  // blank lines alone, or a first frame cut in its header
  reserve_rows(read.layout, read.data, atoms);
  const std::vector<FieldPlan> plan = plan_of(read.layout, read.data);
  const std::size_t bytes = found.back().atoms_end - offset;
  threads = threads_for(threads, bytes);
  // Frames sorted by id are sorted best by the thread that read them, while
  // their rows are in its cache: with frames enough to share out (two a
  // thread, none of them more than two thirds of a thread's share), parts
  // large enough that none is cut.
  std::size_t bytes_per_part = part_bytes(bytes, threads);
  std::size_t largest = 0;
  for (const FoundFrame& frame : found) largest = std::max(largest, frame.atoms_end - frame.atoms_start);
  if (sort && found.size() >= 2 * threads && 3 * largest * threads <= 2 * bytes) {
    bytes_per_part = std::max(bytes_per_part, largest / 2 + 1);
  }
  FrameParts parts(buffer, found, bytes_per_part);
  std::vector<std::optional<PartStop>> stops(parts.size());
  const std::size_t ended = run_claimed_until(threads, parts.size(), [&](std::size_t p) {
    OwnedBuffer<unsigned char> scratch;
    PlacedFrames placing;
    return parts.run(p, [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t stop_at) -> RowsRead {
      const FoundFrame& frame = found[k];
      if (first >= frame.natoms) return {0, false};
      const std::uint64_t number = base.frame + k + 1;
      const bool whole = first == 0 && stop_at == frame.atoms_end;
      const bool sorted_here = sort && whole && frame.natoms == frame.declared;
      const RowRun run = placing.read_rows(sorted_here, read.layout, read.data, buffer, begin, stop_at,
                                           frame.natoms - static_cast<std::size_t>(first), plan,
                                           frame.first_atom + static_cast<std::size_t>(first));
      if (run.failure.problem != RowProblem::None) [[unlikely]] {
        const std::size_t index = static_cast<std::size_t>(first) + run.read;
        if (open_last_line(buffer, run.line_offset, run.line.size())) {
          stops[p] = PartStop{k, std::nullopt,
                              Cut{number, Place{frame.line, base.byte + frame.frame_offset, number},
                                  atoms_cut_problem(number, index, frame.declared)}};
        } else {
          stops[p] = PartStop{k, row_error(run.failure, read.layout, run.line, number, index, frame.declared, buffer,
                                           base, run.line_offset),
                              std::nullopt};
        }
        return {run.read, true};
      }
      if (sorted_here) placing.sort(read.layout, read.data, frame.first_atom, frame.natoms, scratch);
      return {run.read, false};
    });
  });

  // The first stop in the file: a part's, else the pass's.
  if (ended < parts.size() && stops[ended]) {
    PartStop& stop = *stops[ended];
    if (stop.error) return Result<DumpFrames>(std::unexpected(std::move(*stop.error)));
    stop_cut = std::move(stop.cut);
  } else if (stop_error) {
    return Result<DumpFrames>(std::unexpected(std::move(*stop_error)));
  }
  std::size_t kept = found.size(), kept_atoms = atoms;
  if (stop_cut) {
    kept = std::min<std::size_t>(found.size(), static_cast<std::size_t>(stop_cut->frame - base.frame - 1));
    if (kept < found.size()) kept_atoms = found[kept].first_atom;
    read.end = static_cast<std::size_t>(stop_cut->place.byte - base.byte);
    read.end_line = stop_cut->place.line;
    read.cut = std::move(stop_cut);
  }
  if (sort) {
    for (const std::size_t k : parts.cut_frames()) {
      if (k < kept) sort_frame_rows(read.layout, read.data, found[k].first_atom, found[k].natoms, threads);
    }
  }
  read.frames.resize(kept);
  read.heads.resize(kept);
  reserve_rows(read.layout, read.data, kept_atoms);
  read.atoms = kept_atoms;
  return Result<DumpFrames>(std::move(read));
}

}  // namespace io_rs::lammps
