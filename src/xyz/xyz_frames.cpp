#include <algorithm>
#include <charconv>
#include <string>

#include "core/message.hpp"
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

Result<XyzFrames> read_xyz_frames(std::string_view buffer, std::size_t offset, std::optional<std::uint64_t> max_frames,
                                  const Base& base) {
  if (offset > buffer.size()) return offset_past_end("read_xyz_frames", offset, buffer.size());
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
      const LineOutcome outcome = read_xyz_line(lines.next(), read.symbols, scratch, read.positions.data() + 3 * read.atoms);
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
