// A double in the fewest decimal digits that read back to it: the text
// std::to_chars(first, last, value) writes, byte for byte (fixed or
// scientific notation, whichever is shorter, fixed on a tie), in less than
// half its time; a value of at most eight decimals below 2^24, the most
// common in atomistic files, in two thirds of the time of the general
// search for its digits. tests/cpp holds the two equal.
#pragma once

#include <cstdint>

namespace io_rs {

// Room a call may use.
inline constexpr int kShortestRealRoom = 48;

// Writes value at out (which has kShortestRealRoom bytes) and returns the end.
char* write_shortest_real(char* out, double value) noexcept;

// The same in two steps, for writers of many numbers: the digits and their
// layout worked out for several numbers first, then written. The steps of
// one number depend on each other; those of different numbers do not, and a
// processor overlaps them better when they come side by side.
struct ShortestReal {
  double value = 0.0;
  bool laid_out = false;  // false: written by std::to_chars (0, inf, nan, large whole numbers)
  bool fixed = false;     // fixed notation, else scientific
  char first = 0;         // the first digit
  int others = 0;         // how many digits follow it, in low and high from the lowest byte
  int exponent = 0;       // value = digits * 10^exponent
  int point = 0;          // digits before the point in fixed notation
  int fixed_length = 0;
  std::uint64_t low = 0, high = 0;
};
ShortestReal shortest_real(double value) noexcept;
char* put_shortest_real(char* out, const ShortestReal& digits) noexcept;

}  // namespace io_rs
