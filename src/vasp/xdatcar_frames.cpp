#include <charconv>
#include <limits>

#include "core/message.hpp"
#include "core/line_cursor.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {
namespace {

constexpr std::string_view kOpener = "Direct configuration=";

bool is_blank(std::string_view line) noexcept {
  FieldSplitter fields(line);
  return fields.skip_separators() == fields.end();
}

std::string_view trim_separators(std::string_view text) noexcept {
  while (!text.empty() && is_separator(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && is_separator(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// How a frame opens, found at the cursor: blank lines, then either a
// "Direct configuration=" line with the frame's number, or (after at least
// one blank line, as older files separate frames) the first coordinate line.
struct Opening {
  bool frame = false;       // false: no frame opens here; the reader stops
  std::int64_t number = -1;  // -1: opened by a blank line
  std::size_t offset = 0;   // where the opening starts: the first blank line or the opener
};

Result<Opening> find_opening(std::string_view buffer, const Base& base, LineCursor& lines) {
  Opening opening{false, -1, lines.offset()};
  bool blank = false;
  while (!lines.done() && is_blank(lines.peek())) {
    lines.next();
    blank = true;
  }
  if (lines.done()) return opening;  // blank lines at the end open nothing
  std::string_view line = trim_separators(lines.peek());
  if (!line.starts_with(kOpener)) {
    opening.frame = blank;
    return opening;
  }
  const std::size_t opener_offset = lines.offset();
  lines.next();
  const std::string_view digits = trim_separators(line.substr(kOpener.size()));
  std::uint64_t number = 0;
  const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (digits.empty() || digits.front() == '-' || digits.front() == '+' || error != std::errc() ||
      stop != digits.data() + digits.size() || number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    return at(format_error("XDATCAR", fill_message("expected a frame number after '{}', got '{}'", {kOpener, digits}), digits),
              place_of(buffer, base, opener_offset));
  }
  opening.frame = true;
  opening.number = static_cast<std::int64_t>(number);
  return opening;
}

std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, const Opening& opening, std::size_t read,
                                 std::size_t natoms) {
  const std::string frame = opening.number < 0 ? std::string("the frame")
                                               : fill_message("frame {}", {static_cast<std::uint64_t>(opening.number)});
  return at(format_error("XDATCAR", fill_message("{} ends after {} of {} coordinate lines", {frame, read, natoms})),
            place_of(buffer, base, opening.offset));
}

}  // namespace

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
