#include "xyz/xyz_scan.hpp"

#include "core/message.hpp"
#include "core/piece.hpp"
#include "xyz/count_line.hpp"

namespace io_rs::xyz {

Result<XyzScan> scan_xyz(std::string_view buffer, std::size_t offset, const Base& base, bool last) {
  if (offset > buffer.size()) {
    return value_error(fill_message("scan_xyz_frames: offset {} is past the end of the buffer ({} bytes)",
                                    {offset, buffer.size()}));
  }
  const std::string_view view = complete_lines(buffer, last);
  const std::uint64_t line0 = place_of(buffer, base, offset).line;
  XyzScan scan;
  scan.stop = {offset, line0, false};
  if (offset > view.size()) return scan;  // not one whole line yet
  LineCursor lines(view, offset);
  auto line_of = [&](const LineCursor& cursor) { return line0 + cursor.taken(); };

  for (;;) {
    while (!lines.done() && is_blank(lines.peek())) lines.next();
    if (lines.done()) {
      // Blank lines end the file, or stand before the next piece's frame.
      scan.stop = {lines.offset(), line_of(lines), last};
      return scan;
    }
    const std::size_t at = lines.offset();
    const std::uint64_t frame = base.frame + scan.frames.size() + 1;
    const Base frame_base{base.byte, line_of(lines), at, frame};
    LineCursor frame_lines = lines;
    auto count = take_count(view, frame_base, frame_lines);
    if (!count) return std::unexpected(std::move(count.error()));
    if (!*count) {
      const std::string_view line = lines.peek();
      return expected_error("XYZ", "an atom count (one whole number)", fill_message("'{}'", {trimmed(line)}),
                            Place{line_of(lines), base.byte + at, frame});
    }
    const std::size_t natoms = **count;
    if (frame_lines.skip(1) < 1) {
      if (!last) return scan;
      return cut_short(view, frame_base, frame, at, "before its comment line");
    }
    const std::size_t skipped = frame_lines.skip(natoms);
    if (skipped < natoms) {
      if (!last) return scan;
      return cut_short(view, frame_base, frame, at, fill_message("after {} of {} atom lines", {skipped, natoms}));
    }
    scan.frames.push_back(FrameEntry{base.byte + at, line_of(lines), natoms, -1, -1, base.byte + frame_lines.offset()});
    lines = frame_lines;
    scan.stop = {lines.offset(), line_of(lines), false};
  }
}

}  // namespace io_rs::xyz
