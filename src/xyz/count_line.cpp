#include "xyz/count_line.hpp"

#include <algorithm>
#include <charconv>

#include "core/fields.hpp"
#include "core/message.hpp"

namespace io_rs::xyz {

Result<std::optional<std::uint64_t>> read_count(std::string_view buffer, const Base& base, std::size_t line_offset,
                                                std::string_view line) {
  FieldSplitter fields(line);
  const std::string_view field = fields.next();
  if (field.empty() || !fields.next().empty()) return std::nullopt;
  if (!std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  std::uint64_t count = 0;
  const auto [stop, error] = std::from_chars(field.data(), field.data() + field.size(), count);
  if (error != std::errc() || stop != field.data() + field.size() || count > (~std::size_t{0}) / 64) {
    return at(format_error("XYZ", fill_message("atom count '{}' is too large", {field}), field),
              place_of(buffer, base, line_offset));
  }
  return count;
}

Result<std::optional<std::size_t>> take_count(std::string_view buffer, const Base& base, LineCursor& lines) {
  auto count = read_count(buffer, base, lines.offset(), lines.peek());
  if (!count) return std::unexpected(std::move(count.error()));
  if (!*count) return std::optional<std::size_t>();
  lines.next();
  return std::optional<std::size_t>(static_cast<std::size_t>(**count));
}

std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, std::uint64_t frame,
                                 std::size_t count_offset, std::string_view what) {
  return at(format_error("XYZ", fill_message("frame {} ends {}", {frame, what})),
            place_of(buffer, base, count_offset, frame));
}

}  // namespace io_rs::xyz
