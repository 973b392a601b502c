#include <algorithm>
#include <vector>

#include "core/frame_parts.hpp"
#include "core/message.hpp"
#include "core/parallel.hpp"
#include "core/line_cursor.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/xdatcar_opening.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {


namespace {

// The frames on threads. One pass finds where each frame's coordinate
// lines start and end (opening lines and line ends only, as the scanner
// does), up to max_frames; the lines are then read in parts of whole frames
// (a frame much larger than a part cut at line starts) that the threads
// claim in turn, straight into the arrays, on as many threads as those
// frames' bytes pay for. A frame cut short by the end of the buffer, or an
// opening line that fails, ends the pass; the lines before it are read all
// the same, so that the first failure in file order is reported, as with
// one thread.
Result<XdatcarFrames> read_on_threads(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                      std::optional<std::uint64_t> max_frames, const Base& base,
                                      std::size_t threads) {
  struct Found {
    std::size_t natoms, atoms_start, atoms_end;  // the coordinate lines it has
  };
  std::vector<Found> found;
  std::vector<std::int64_t> numbers;
  std::optional<Error> stop;        // what ended the pass, if a failure did
  LineCursor lines(buffer, offset);
  std::size_t end = offset;
  while (!max_frames || found.size() < *max_frames) {
    auto opening = find_opening(buffer, base, lines);
    if (!opening) {
      stop = std::move(opening.error());
      break;
    }
    if (!opening->frame) break;
    const std::size_t first_line = lines.offset();
    const std::size_t skipped = lines.skip(natoms);
    found.push_back({skipped, first_line, lines.offset()});
    if (skipped < natoms) {
      stop = cut_short(buffer, base, *opening, skipped, natoms).error();
      break;
    }
    numbers.push_back(opening->number);
    end = lines.offset();
  }
  const std::size_t frames = found.size();
  const std::size_t frame_values = checked_size(natoms, 3);
  XdatcarFrames read;
  read.positions = OwnedBuffer<double>::allocate(checked_size(frames, frame_values));
  read.numbers = OwnedBuffer<std::int64_t>::allocate(frames);
  const std::size_t bytes = frames == 0 ? 0 : found.back().atoms_end - offset;
  threads = threads_for(threads, bytes);
  FrameParts parts(buffer, found, part_bytes(bytes, threads));
  std::vector<std::optional<Error>> failures(parts.size());
  const std::size_t ended = run_claimed_until(threads, parts.size(), [&](std::size_t p) {
    return parts.run(p, [&](std::size_t k, std::uint64_t first, std::size_t begin, std::size_t stop_at) -> RowsRead {
      LineCursor frame_lines(buffer, begin);
      double* frame_rows = read.positions.data() + k * frame_values;
      std::uint64_t i = first;
      for (; i < found[k].natoms && frame_lines.offset() < stop_at; ++i) {
        const std::size_t line_offset = frame_lines.offset();
        const LineOutcome outcome = read_xdatcar_line(frame_lines.next(), frame_rows + 3 * i,
                                                      buffer.data() + buffer.size());
        if (!outcome.ok()) [[unlikely]] {
          failures[p] = at(std::unexpected(xdatcar_line_error(outcome, i)), place_of(buffer, base, line_offset)).error();
          return {i - first, true};
        }
      }
      return {i - first, false};
    });
  });
  if (ended < parts.size() && failures[ended]) return std::unexpected(std::move(*failures[ended]));
  if (stop) return std::unexpected(std::move(*stop));
  std::copy(numbers.begin(), numbers.end(), read.numbers.data());
  read.frames = frames;
  read.end = end;
  return read;
}

}  // namespace

Result<XdatcarFrames> read_xdatcar_frames(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                          std::optional<std::uint64_t> max_frames, const Base& base,
                                          std::size_t threads) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_xdatcar_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  if (threads > 1) return read_on_threads(buffer, offset, natoms, max_frames, base, threads);
  XdatcarFrames read;
  const std::size_t frame_values = checked_size(natoms, 3);
  std::size_t capacity = 0;  // frames the buffers have room for
  LineCursor lines(buffer, offset);
  std::size_t end = offset;
  while (!max_frames || read.frames < *max_frames) {
    auto opening = find_opening(buffer, base, lines);
    if (!opening) return std::unexpected(std::move(opening.error()));
    if (!opening->frame) break;
    if (read.frames == capacity) {
      // Grow by half as much again, but never past the frames the rest of
      // the buffer could hold (a coordinate line takes at least six bytes),
      // so that a wrong atom count cannot ask for memory no line will fill.
      capacity = capacity < 4 ? 4 : capacity + capacity / 2;
      if (natoms > 0) {
        const std::size_t frames_left = (buffer.size() - lines.offset() + 1) / 6 / natoms + 1;
        capacity = std::min(capacity, read.frames + frames_left);
      }
      read.positions.resize(checked_size(capacity, frame_values));
      read.numbers.resize(capacity);
    }
    double* rows = read.positions.data() + read.frames * frame_values;
    for (std::size_t i = 0; i < natoms; ++i) {
      if (lines.done()) [[unlikely]] return cut_short(buffer, base, *opening, i, natoms);
      const std::size_t line_offset = lines.offset();
      const LineOutcome outcome = read_xdatcar_line(lines.next(), rows + 3 * i, buffer.data() + buffer.size());
      if (!outcome.ok()) [[unlikely]] {
        return at(std::unexpected(xdatcar_line_error(outcome, i)), place_of(buffer, base, line_offset));
      }
    }
    read.numbers[read.frames++] = opening->number;
    end = lines.offset();
  }
  read.end = end;
  return read;
}

Result<OwnedBuffer<std::int64_t>> index_xdatcar_frames(std::string_view buffer, std::size_t offset,
                                                       std::size_t natoms, const Base& base) {
  if (offset > buffer.size()) {
    return value_error(fill_message("index_xdatcar_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  OwnedBuffer<std::int64_t> offsets = OwnedBuffer<std::int64_t>::allocate(0);
  std::size_t count = 0;
  LineCursor lines(buffer, offset);
  for (;;) {
    auto opening = find_opening(buffer, base, lines);
    if (!opening) return std::unexpected(std::move(opening.error()));
    if (!opening->frame) break;
    const std::size_t skipped = lines.skip(natoms);
    if (skipped < natoms) return cut_short(buffer, base, *opening, skipped, natoms);
    if (count == offsets.size()) offsets.resize(count < 16 ? 16 : count * 2);
    offsets[count++] = static_cast<std::int64_t>(opening->offset);
  }
  offsets.resize(count);
  return offsets;
}

}  // namespace io_rs::vasp
