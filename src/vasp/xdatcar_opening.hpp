// How an XDATCAR frame opens, shared by the frame reader and the scanner.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "core/line_cursor.hpp"

namespace io_rs::vasp {

inline constexpr std::string_view kOpener = "Direct configuration=";

// How a frame opens, found at the cursor: blank lines, then either a
// "Direct configuration=" line with the frame's number, or (after at least
// one blank line, as older files separate frames) the first coordinate line.
struct Opening {
  bool frame = false;       // false: no frame opens here; the reader stops
  std::int64_t number = -1;  // -1: opened by a blank line
  std::size_t offset = 0;   // where the opening starts: the first blank line or the opener
};

// The opening at the cursor, and the cursor past the opener line (or past
// the blank lines of a frame they open).
Result<Opening> find_opening(std::string_view buffer, const Base& base, LineCursor& lines);

// The error for a frame that ends after read of its natoms coordinate lines.
std::unexpected<Error> cut_short(std::string_view buffer, const Base& base, const Opening& opening, std::size_t read,
                                 std::size_t natoms);

}  // namespace io_rs::vasp
