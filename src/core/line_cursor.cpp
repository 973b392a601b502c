#include "core/line_cursor.hpp"

#include <algorithm>

#include "core/message.hpp"

namespace io_rs {

std::string file_position(std::string_view buffer, std::size_t line_offset) {
  const std::size_t line = 1 + static_cast<std::size_t>(
                                   std::count(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(line_offset), '\n'));
  return fill_message(" (line {} of the file, byte {})", {line, line_offset});
}

}  // namespace io_rs
