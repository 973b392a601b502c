#include "core/message.hpp"
#include "core/line_cursor.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/xdatcar_opening.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {


Result<XdatcarFrames> read_xdatcar_frames(std::string_view buffer, std::size_t offset, std::size_t natoms,
                                          std::optional<std::uint64_t> max_frames, const Base& base) {
  if (offset > buffer.size()) {
    return value_error(fill_message("read_xdatcar_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
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
      const LineOutcome outcome = read_xdatcar_line(lines.next(), rows + 3 * i);
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
