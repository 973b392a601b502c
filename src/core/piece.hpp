// Input that comes in pieces: a window of a file's bytes that more bytes may
// follow. A scanner sees only the complete lines of a piece that is not the
// last, so that "the lines run out" means "feed more" there and "the file
// ends here" only in the last piece.
#pragma once

#include <cstddef>
#include <string_view>

namespace io_rs {

// The part of piece that holds complete lines: all of it when last, else up
// to and including its last LF.
inline std::string_view complete_lines(std::string_view piece, bool last) noexcept {
  if (last) return piece;
  const std::size_t lf = piece.rfind('\n');
  return lf == std::string_view::npos ? piece.substr(0, 0) : piece.substr(0, lf + 1);
}

// Separators trimmed from both ends of a line, as messages quote it.
constexpr std::string_view trimmed(std::string_view text) noexcept {
  constexpr std::string_view separators = " \t\n\r\f";
  const std::size_t first = text.find_first_not_of(separators);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(separators) - first + 1);
}

constexpr bool is_blank(std::string_view line) noexcept { return trimmed(line).empty(); }

}  // namespace io_rs
