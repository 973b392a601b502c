// Dump frames read on threads, straight into the outputs; the result, and
// the first failure in file order, are those of one thread.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/atom_runs.hpp"
#include "core/fields.hpp"
#include "core/line_cursor.hpp"
#include "core/message.hpp"
#include "core/piece.hpp"
#include "core/rows_on_threads.hpp"
#include "core/staged_frames.hpp"
#include "lammps/dump_frames.hpp"
#include "lammps/dump_head.hpp"
#include "lammps/dump_rows.hpp"

namespace io_rs::lammps {
namespace {

bool rest_is_blank(std::string_view buffer, std::size_t from) {
  return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from), buffer.end(),
                     [](char c) { return is_separator(static_cast<unsigned char>(c)); });
}

// What ends a run of frames at a place in the file: (frame, where in it),
// where -2 is its header and a row number its atom line; an error, a file
// cut short there, or neither for a frame of other columns.
struct Stop {
  std::size_t frame = SIZE_MAX;
  std::int64_t where = 0;
  std::optional<Error> error;
  std::optional<Cut> cut;
  bool before(const Stop& other) const {
    return frame != other.frame ? frame < other.frame : where < other.where;
  }
};

struct StagedFrame {
  std::size_t present;  // atom lines there (all of them but in a frame cut short)
  std::size_t natoms;
  std::size_t frame_offset;
  std::uint64_t line;
  std::size_t atoms_start, first_atom;
};

struct Stage {
  std::size_t first_frame = 0;
  std::vector<StagedFrame> frames;
  Stop stop;
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
  std::vector<std::optional<Failure>> failures(threads);
  bool to_the_end = false;  // row natoms - 1 read, and only blanks after it
  read_rows_on_threads(buffer, atoms_start, natoms, threads,
                       [&](std::size_t t, std::uint64_t first, std::uint64_t stop, std::size_t begin, std::size_t end) {
    const RowRun run = read_rows(buffer, begin, end, static_cast<std::size_t>(stop - first), plan, first);
    if (run.failure.problem != RowProblem::None) {
      if (open_last_line(buffer, run.line_offset, run.line.size())) {
        failures[t] = Failure{};
      } else {
        failures[t] = Failure{row_error(run.failure, read.layout, run.line, frame, first + run.read, natoms, buffer,
                                        base, run.line_offset)};
      }
      return;
    }
    if (first + run.read == natoms && run.read > 0) to_the_end = rest_is_blank(buffer, run.next);
  });
  for (auto& failure : failures) {
    if (!failure) continue;
    if (!failure->error) return std::nullopt;
    return Result<DumpFrames>(std::unexpected(std::move(*failure->error)));
  }
  if (!to_the_end) return std::nullopt;
  if (sort) sort_all_rows(read.layout, read.data, natoms, threads);
  read.frames.push_back(FrameEntry{base.byte + frame_offset, frame_line, head.natoms, 0, head.timestep,
                                   base.byte + buffer.size()});
  read.heads.push_back(std::move(head));
  read.atoms = natoms;
  read.end = buffer.size();
  read.end_line = 0;  // not counted: nothing follows
  return Result<DumpFrames>(std::move(read));
}

// Many frames on threads, read in stages while the pass finds them: the
// pass (on the calling thread) reads each header and passes over the atom
// lines by counting line ends; each stage's frames are read whole (and
// sorted) by one thread. The outputs are made when the first stage is
// passed, for the rows the rest of the buffer likely holds. The first stop
// in file order wins, as with one thread.
std::optional<Result<DumpFrames>> read_staged(std::string_view buffer, std::size_t offset,
                                              std::optional<std::uint64_t> max_frames, const Base& base,
                                              std::size_t threads, bool sort) {
  if (max_frames && *max_frames == 0) return std::nullopt;
  LineCursor lines(buffer, offset);
  const LineCount count{place_of(buffer, base, offset).line};
  while (!lines.done() && is_blank(lines.peek())) lines.next();
  std::uint64_t frame_line = count.at(lines.taken());
  // The first frame: its columns are the run's, and its size says whether
  // the frames are small.
  FrameHead head;
  std::size_t frame_offset = lines.offset();
  {
    LineCursor first = lines;
    auto ended = take_head(buffer, base, first, base.frame + 1, head, frame_offset);
    if (!ended || *ended != HeadEnd::Read || first.done()) return std::nullopt;
    // A frame of more than a thread's share is better read as ranges.
    const std::size_t remaining = buffer.size() - offset;
    if (head.natoms > remaining / threads / (first.peek().size() + 1)) return std::nullopt;
  }
  auto layout = frame_layout(buffer, base, head, base.frame + 1);
  if (!layout) return Result<DumpFrames>(std::unexpected(std::move(layout.error())));  // nothing comes before it

  DumpFrames read;
  read.layout = std::move(*layout);
  read.end = offset;
  read.end_line = count.line0;
  const std::size_t remaining = buffer.size() - offset;
  std::vector<Stage> stages(most_stages(remaining, threads));
  std::size_t capacity = 0;  // rows the outputs have room for
  const std::string_view columns = head.columns;

  auto read_stage = [&](std::size_t s) {
    Stage& stage = stages[s];
    const std::vector<FieldPlan> plan = plan_of(read.layout, read.data);
    OwnedBuffer<unsigned char> scratch;
    for (std::size_t f = 0; f < stage.frames.size(); ++f) {
      const StagedFrame& frame = stage.frames[f];
      const std::size_t k = stage.first_frame + f;
      const std::uint64_t number = base.frame + k + 1;
      const RowRun run = read_rows(buffer, frame.atoms_start, buffer.size(), frame.present, plan, frame.first_atom);
      if (run.failure.problem != RowProblem::None) [[unlikely]] {
        stage.stop.frame = k;
        stage.stop.where = static_cast<std::int64_t>(run.read);
        if (open_last_line(buffer, run.line_offset, run.line.size())) {
          stage.stop.cut = Cut{number, Place{frame.line, base.byte + frame.frame_offset, number},
                               atoms_cut_problem(number, run.read, frame.natoms)};
        } else {
          stage.stop.error = row_error(run.failure, read.layout, run.line, number, run.read, frame.natoms, buffer,
                                       base, run.line_offset);
        }
        return;
      }
      if (sort && frame.present == frame.natoms) sort_rows(read.layout, read.data, frame.first_atom, frame.natoms, scratch);
    }
  };

  Stop pass_stop;
  std::size_t frames = 0, atoms = 0, passed = 0;
  auto pass = [&](auto&& hand_over) {
    auto stage_passed = [&] {
      // Room for the rows the rest of the buffer likely holds, once the
      // first stage shows how long an atom line is.
      if (capacity == 0) {
        capacity = likely_rows(atoms, lines.offset() - offset, remaining);
        reserve_rows(read.layout, read.data, capacity);
      }
      ++passed;
      hand_over(atoms <= capacity);
    };
    Stage* stage = &stages[0];
    const std::size_t bytes_a_stage = stage_bytes(remaining, threads);
    std::size_t stage_end = offset + bytes_a_stage;
    for (;;) {
      if (frames > 0) {
        while (!lines.done() && is_blank(lines.peek())) lines.next();
        frame_line = count.at(lines.taken());
        if (lines.done()) {
          read.end = buffer.size();
          read.end_line = frame_line;
          break;
        }
        if (max_frames && frames >= *max_frames) break;
        if (lines.offset() >= stage_end) {
          stage_passed();
          stage = &stages[passed];
          stage->first_frame = frames;
          stage_end = lines.offset() + bytes_a_stage;
        }
      }
      const std::uint64_t number = base.frame + frames + 1;
      auto ended = take_head(buffer, base, lines, number, head, frame_offset);
      if (!ended) {
        pass_stop = {frames, -2, std::move(ended.error()), std::nullopt};
        break;
      }
      if (*ended == HeadEnd::Cut) {
        pass_stop = {frames, -2, std::nullopt,
                     Cut{number, Place{frame_line, base.byte + frame_offset, number},
                         fill_message("frame {} ends in its header", {number})}};
        break;
      }
      if (!same_columns(head.columns, columns)) {
        pass_stop = {frames, -2, std::nullopt, std::nullopt};  // the next run starts there
        break;
      }
      const std::size_t natoms = static_cast<std::size_t>(head.natoms);
      const std::size_t atoms_start = lines.offset();
      const std::size_t present = lines.skip(natoms);
      stage->frames.push_back({present, natoms, frame_offset, frame_line, atoms_start, atoms});
      atoms += present;
      ++frames;
      if (present < natoms) {
        const bool open_end = present > 0 && buffer.back() != '\n';
        // The frame's lines are read all the same: a bad line among them comes first.
        pass_stop = {frames - 1, INT64_MAX, std::nullopt,
                     Cut{number, Place{frame_line, base.byte + frame_offset, number},
                         atoms_cut_problem(number, present - (open_end ? 1 : 0), natoms)}};
        break;
      }
      read.frames.push_back(FrameEntry{base.byte + frame_offset, frame_line, head.natoms, 0, head.timestep,
                                       base.byte + lines.offset()});
      read.heads.push_back(std::move(head));
      read.end = lines.offset();
      read.end_line = count.at(lines.taken());
    }
    stage_passed();
  };
  auto make_room = [&] {
    capacity = atoms;
    reserve_rows(read.layout, read.data, capacity);
  };
  run_staged(threads, stages.size(), pass, read_stage, make_room, [](std::size_t) { return false; });

  // The first stop in the file.
  const Stop* first = &pass_stop;
  for (std::size_t s = 0; s < passed; ++s) {
    if (stages[s].stop.before(*first)) first = &stages[s].stop;
  }
  if (first->error) return Result<DumpFrames>(std::unexpected(std::move(*first->error)));
  const std::size_t kept = std::min(first->frame, read.frames.size());
  std::size_t kept_atoms = atoms;
  if (kept < frames) {
    // The run ends before frame `kept`: of other columns, or cut short.
    const Stage& holder = *std::find_if(stages.rbegin() + static_cast<std::ptrdiff_t>(stages.size() - passed),
                                        stages.rend(), [&](const Stage& s) { return s.first_frame <= kept; });
    const StagedFrame& frame = holder.frames[kept - holder.first_frame];
    kept_atoms = frame.first_atom;
    read.end = frame.frame_offset;
    read.end_line = frame.line;
  } else if (first->frame == frames) {
    // A stop in the pass before the frame was staged: a header.
    read.end = frame_offset;
    read.end_line = frame_line;
  }
  read.frames.resize(kept);
  read.heads.resize(kept);
  if (first->cut) read.cut = std::move(first->cut);
  reserve_rows(read.layout, read.data, kept_atoms);
  read.atoms = kept_atoms;
  return Result<DumpFrames>(std::move(read));
}

}  // namespace io_rs::lammps
