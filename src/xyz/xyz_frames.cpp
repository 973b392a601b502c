#include <algorithm>
#include <vector>
#include <charconv>
#include <string>

#include "core/frame_parts.hpp"
#include "core/line_ranges.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "core/rows_on_threads.hpp"
#include "core/line_cursor.hpp"
#include "core/utf8.hpp"
#include "xyz/atom_line.hpp"
#include "xyz/count_line.hpp"
#include "xyz/xyz.hpp"

namespace io_rs::xyz {
namespace {

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::unexpected<Error> offset_past_end(const char* function, std::size_t offset, std::size_t size) {
  return value_error(fill_message("{}: offset {} is past the end of the buffer ({} bytes)", {function, offset, size}));
}

}  // namespace

namespace {

// The frames on threads. One pass finds each frame's count, comment and
// where its atom lines start and end (line ends only, as the scanner does),
// up to max_frames; the atom lines are then read in parts of whole frames
// (a frame much larger than a part cut at line starts) that the threads
// claim in turn, straight into the arrays, each part's symbols into a list
// of its own, on as many threads as those frames' bytes pay for. A count,
// comment or frame end that fails ends the pass; the lines before it are
// read all the same, so that the first failure in file order is reported,
// as with one thread.
Result<XyzFrames> read_on_threads(std::string_view buffer, std::size_t offset,
                                  std::optional<std::uint64_t> max_frames, const Base& base, std::size_t threads) {
  struct Found {
    std::size_t natoms, atoms_start, atoms_end, first_atom;
  };
  std::vector<Found> found;
  std::vector<std::string_view> comments;
  std::optional<Error> stop;
  bool cut = false;  // the last of found is a frame cut short: natoms holds the lines it has
  std::size_t atoms = 0;
  LineCursor lines(buffer, offset);
  std::size_t end = offset;
  while (!lines.done() && (!max_frames || found.size() < *max_frames)) {
    const std::size_t count_offset = lines.offset();
    auto count = take_count(buffer, base, lines);
    if (!count) {
      stop = std::move(count.error());
      break;
    }
    if (!*count) break;
    const std::size_t natoms = **count;
    const std::uint64_t frame = base.frame + found.size() + 1;
    if (lines.done()) {
      stop = cut_short(buffer, base, frame, count_offset, "before its comment line").error();
      break;
    }
    const std::size_t comment_offset = lines.offset();
    const std::string_view comment = without_cr(lines.next());
    if (!is_utf8(comment)) {
      stop = at(format_error("XYZ", fill_message("the comment line of frame {} is not UTF-8 text", {frame})),
                place_of(buffer, base, comment_offset, frame)).error();
      break;
    }
    const std::size_t atoms_start = lines.offset();
    const std::size_t skipped = lines.skip(natoms);
    found.push_back({skipped, atoms_start, lines.offset(), atoms});
    atoms += skipped;
    if (skipped < natoms) {
      stop = cut_short(buffer, base, frame, count_offset, fill_message("after {} of {} atom lines", {skipped, natoms})).error();
      cut = true;
      break;
    }
    comments.push_back(comment);
    end = lines.offset();
  }

  XyzFrames read;
  read.positions = OwnedBuffer<double>::allocate(checked_size(atoms, 3));
  const std::size_t bytes = found.empty() ? 0 : found.back().atoms_end - offset;
  threads = threads_for(threads, bytes);
  FrameParts parts(buffer, found, part_bytes(bytes, threads));
  std::vector<InternedTexts> symbols(parts.size());
  std::vector<std::optional<Error>> failures(parts.size());
  const std::size_t ended = run_claimed_until(threads, parts.size(), [&](std::size_t p) {
    std::string scratch;
    return parts.run(p, [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t stop_at) -> RowsRead {
      LineCursor atom_lines(buffer, begin);
      double* rows = read.positions.data() + 3 * found[k].first_atom;
      std::uint64_t i = first;
      for (; i < found[k].natoms && atom_lines.offset() < stop_at; ++i) {
        const std::size_t line_offset = atom_lines.offset();
        const LineOutcome outcome = read_xyz_line(atom_lines.next(), symbols[p], scratch, rows + 3 * i,
                                                  buffer.data() + buffer.size());
        if (!outcome.ok()) [[unlikely]] {
          failures[p] = at(std::unexpected(xyz_line_error(outcome, i)),
                           place_of(buffer, base, line_offset, base.frame + k + 1)).error();
          return {i - first, true};
        }
      }
      return {i - first, false};
    });
  });
  if (ended < parts.size() && failures[ended]) return std::unexpected(std::move(*failures[ended]));
  if (stop) return std::unexpected(std::move(*stop));
  if (cut) found.pop_back();
  read.frames = found.size();
  read.counts = OwnedBuffer<std::int64_t>::allocate(read.frames);
  for (std::size_t k = 0; k < read.frames; ++k) read.counts[k] = static_cast<std::int64_t>(found[k].natoms);
  read.atoms = atoms;
  read.comments = std::move(comments);
  if (!symbols.empty()) read.symbols = std::move(symbols[0]);
  for (std::size_t p = 1; p < symbols.size(); ++p) read.more_symbols.push_back(std::move(symbols[p]));
  read.end = end;
  return read;
}

// One large frame that runs to the end of the buffer (a file of one frame)
// on threads: its atom lines read in line ranges that the threads claim in
// turn, straight into the arrays, without a pass over them first, each
// range's symbols into a list of its own. Nothing when the frame is not
// that: when its count and the length of its first atom line say it is not
// most of the buffer, or when its lines turn out not to be exactly natoms
// to the end (read_on_threads then reads it, and says how it ends).
std::optional<Result<XyzFrames>> read_one_frame(std::string_view buffer, std::size_t offset,
                                                std::optional<std::uint64_t> max_frames, const Base& base,
                                                std::size_t threads) {
  if (max_frames && *max_frames == 0) return std::nullopt;
  LineCursor lines(buffer, offset);
  auto count = take_count(buffer, base, lines);
  if (!count || !*count || lines.done()) return std::nullopt;
  const std::string_view comment = without_cr(lines.next());
  if (!is_utf8(comment) || lines.done()) return std::nullopt;
  const std::size_t natoms = **count;
  const std::size_t atoms_start = lines.offset();
  if (!likely_one_large_frame(buffer, atoms_start, natoms, lines.peek())) return std::nullopt;

  XyzFrames read;
  read.positions = OwnedBuffer<double>::allocate(checked_size(natoms, 3));
  const std::size_t bytes = buffer.size() - atoms_start;
  threads = threads_for(threads, bytes);
  LineRanges ranges(buffer, atoms_start, buffer.size(), part_bytes(bytes, threads));
  std::vector<InternedTexts> symbols(ranges.size());
  std::vector<std::optional<Error>> failures(ranges.size());
  bool to_the_end = false;  // row natoms - 1 read, and the buffer ends with it
  const std::size_t ended = read_rows_on_threads(ranges, natoms, threads,
      [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t end) -> RowsRead {
    std::string scratch;
    LineCursor atom_lines(buffer, begin);
    std::uint64_t i = first;
    for (; i < natoms && atom_lines.offset() < end; ++i) {
      const std::size_t line_offset = atom_lines.offset();
      const LineOutcome outcome = read_xyz_line(atom_lines.next(), symbols[k], scratch, read.positions.data() + 3 * i,
                                                buffer.data() + buffer.size());
      if (!outcome.ok()) [[unlikely]] {
        failures[k] = at(std::unexpected(xyz_line_error(outcome, i)), place_of(buffer, base, line_offset, base.frame + 1))
                          .error();
        return {i - first, true};
      }
    }
    if (i == natoms) to_the_end = atom_lines.done();
    return {i - first, i == natoms};
  });
  if (ended < ranges.size() && failures[ended]) return Result<XyzFrames>(std::unexpected(std::move(*failures[ended])));
  if (!to_the_end) return std::nullopt;
  read.frames = 1;
  read.counts = OwnedBuffer<std::int64_t>::allocate(1);
  read.counts[0] = static_cast<std::int64_t>(natoms);
  read.atoms = natoms;
  read.comments.push_back(comment);
  read.symbols = std::move(symbols[0]);
  for (std::size_t k = 1; k <= ended && k < symbols.size(); ++k) read.more_symbols.push_back(std::move(symbols[k]));
  read.end = buffer.size();
  return Result<XyzFrames>(std::move(read));
}

}  // namespace

Result<XyzFrames> read_xyz_frames(std::string_view buffer, std::size_t offset, std::optional<std::uint64_t> max_frames,
                                  const Base& base, std::size_t threads) {
  if (offset > buffer.size()) return offset_past_end("read_xyz_frames", offset, buffer.size());
  if (threads > 1) {
    if (auto one = read_one_frame(buffer, offset, max_frames, base, threads)) return std::move(*one);
    return read_on_threads(buffer, offset, max_frames, base, threads);
  }
  XyzFrames read;
  read.counts = OwnedBuffer<std::int64_t>::allocate(0);
  read.positions = OwnedBuffer<double>::allocate(0);
  std::string scratch;
  LineCursor lines(buffer, offset);
  std::size_t end = offset;
  while (!lines.done() && (!max_frames || read.frames < *max_frames)) {
    const std::size_t count_offset = lines.offset();
    auto count = take_count(buffer, base, lines);
    if (!count) return std::unexpected(std::move(count.error()));
    if (!*count) break;
    const std::size_t natoms = **count;
    const std::uint64_t frame = base.frame + read.frames + 1;
    if (lines.done()) return cut_short(buffer, base, frame, count_offset, "before its comment line");
    const std::size_t comment_offset = lines.offset();
    const std::string_view comment = without_cr(lines.next());
    if (!is_utf8(comment)) {
      return at(format_error("XYZ", fill_message("the comment line of frame {} is not UTF-8 text", {frame})),
                place_of(buffer, base, comment_offset, frame));
    }
    // Room for the rows as the lines come: a wrong count meets the end of
    // the buffer before it can ask for memory the lines could never fill.
    std::size_t capacity = read.positions.size() / 3;
    for (std::size_t i = 0; i < natoms; ++i) {
      if (lines.done()) [[unlikely]] {
        return cut_short(buffer, base, frame, count_offset, fill_message("after {} of {} atom lines", {i, natoms}));
      }
      if (read.atoms == capacity) {
        capacity = std::max<std::size_t>(64, capacity + capacity / 2);
        read.positions.resize(checked_size(capacity, 3));
      }
      const std::size_t line_offset = lines.offset();
      const LineOutcome outcome = read_xyz_line(lines.next(), read.symbols, scratch, read.positions.data() + 3 * read.atoms,
                                                buffer.data() + buffer.size());
      if (!outcome.ok()) [[unlikely]] {
        return at(std::unexpected(xyz_line_error(outcome, i)), place_of(buffer, base, line_offset, frame));
      }
      ++read.atoms;
    }
    read.comments.push_back(comment);
    if (read.frames == read.counts.size()) read.counts.resize(read.frames < 16 ? 16 : 2 * read.frames);
    read.counts[read.frames++] = static_cast<std::int64_t>(natoms);
    end = lines.offset();
  }
  read.counts.resize(read.frames);
  read.positions.resize(checked_size(read.atoms, 3));
  read.end = end;
  return read;
}

Result<OwnedBuffer<std::int64_t>> index_xyz_frames(std::string_view buffer, std::size_t offset, const Base& base) {
  if (offset > buffer.size()) return offset_past_end("index_xyz_frames", offset, buffer.size());
  OwnedBuffer<std::int64_t> offsets = OwnedBuffer<std::int64_t>::allocate(0);
  std::size_t frames = 0;
  LineCursor lines(buffer, offset);
  while (!lines.done()) {
    const std::size_t count_offset = lines.offset();
    auto count = take_count(buffer, base, lines);
    if (!count) return std::unexpected(std::move(count.error()));
    if (!*count) break;
    const std::size_t natoms = **count;
    if (lines.skip(1) < 1) return cut_short(buffer, base, base.frame + frames + 1, count_offset, "before its comment line");
    const std::size_t skipped = lines.skip(natoms);
    if (skipped < natoms) {
      return cut_short(buffer, base, base.frame + frames + 1, count_offset, fill_message("after {} of {} atom lines", {skipped, natoms}));
    }
    if (frames == offsets.size()) offsets.resize(frames < 16 ? 16 : 2 * frames);
    offsets[frames++] = static_cast<std::int64_t>(count_offset);
  }
  offsets.resize(frames);
  return offsets;
}

}  // namespace io_rs::xyz
