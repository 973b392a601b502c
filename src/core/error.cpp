#include "core/error.hpp"

#include <algorithm>

#include "core/message.hpp"

namespace io_rs {

Place place_of(std::string_view buffer, const Base& base, std::size_t line_offset, std::uint64_t frame) {
  const auto first = buffer.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(base.from, line_offset));
  const auto line = static_cast<std::uint64_t>(std::count(first, buffer.begin() + static_cast<std::ptrdiff_t>(line_offset), '\n'));
  return Place{base.line + line, base.byte + line_offset, frame};
}

std::unexpected<Error> expected_error(std::string_view format, std::string expected, std::string found,
                                      const Place& place) {
  std::string problem = fill_message("expected {}, got {}", {expected, found});
  return std::unexpected(
      Error{ErrorKind::Value, format, std::move(problem), {}, std::move(expected), std::move(found), place});
}

std::string Error::message() const {
  std::string text;
  if (!format.empty()) {
    text += format;
    text += ": ";
  }
  text += problem;
  if (place) text += fill_message(" (line {} of the file, byte {})", {place->line, place->byte});
  return text;
}

}  // namespace io_rs
