// A double in the fewest decimal digits that read back to it: the text
// std::to_chars(first, last, value) writes, byte for byte (fixed or
// scientific notation, whichever is shorter, fixed on a tie), in less than
// half its time. tests/cpp holds the two equal.
#pragma once

namespace io_rs {

// Room a call may use.
inline constexpr int kShortestRealRoom = 32;

// Writes value at out (which has kShortestRealRoom bytes) and returns the end.
char* write_shortest_real(char* out, double value) noexcept;

}  // namespace io_rs
