// The numbers of an OUTCAR line. VASP writes them with Fortran formats of
// fixed widths: a value too large for its width is printed as asterisks
// (****, read as NaN and reported), and one that fills its width touches
// its neighbour. Lines are read as separated fields first; where that does
// not give every value, at the format's fixed columns.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "core/fields.hpp"
#include "core/number_read.hpp"
#include "core/portable.hpp"
#include "core/short_decimal.hpp"

namespace io_rs::vasp {

enum class ValueState : std::uint8_t { Number, Overflow, Bad };

constexpr bool all_stars(std::string_view field) noexcept {
  return !field.empty() && field.find_first_not_of('*') == std::string_view::npos;
}

// One field: a number, a Fortran overflow (NaN), or neither.
inline ValueState read_value(std::string_view field, double& value) {
  if (const auto number = read_number(field)) {
    value = *number;
    return ValueState::Number;
  }
  if (all_stars(field)) {
    value = std::numeric_limits<double>::quiet_NaN();
    return ValueState::Overflow;
  }
  return ValueState::Bad;
}

// What reading the values of a line found: whether it gives them all, and
// which of them overflowed (bit k for value k).
struct LineValues {
  bool ok = false;
  std::uint32_t overflow = 0;
};

// count values of text: separated fields when they give them (at least
// count fields when `more` allows extra fields after them, else exactly
// count), else the fixed columns [columns[k], columns[k + 1]) of text.
LineValues read_line_values(std::string_view text, std::size_t count, bool more, double* out,
                            std::span<const std::size_t> columns);

// The columns of the formats: a table row (3F13.5, 3X, 3F14.6; the three
// spaces are taken into the first force), a lattice line (3X, 3F13.9, ...),
// a stress line after its "in kB" (2X, 6F12.5).
inline constexpr std::size_t kRowColumns[] = {0, 13, 26, 39, 56, 70, 84};
inline constexpr std::size_t kLatticeColumns[] = {3, 16, 29, 42};
inline constexpr std::size_t kStressColumns[] = {2, 14, 26, 38, 50, 62, 74};

// The number a field of the format's width holds, right-aligned with the
// given decimals: spaces, an optional minus, digits, the point, the
// decimals; false for anything else. The field is read a word at a time:
// its last eight bytes hold the point and the decimals, the eight before
// the point the whole part. Its digits (at most 14) make an integer below
// 2^53 that one IEEE division by an exact power of ten rounds correctly:
// the value the general reader gives.
IO_RS_ALWAYS_INLINE bool read_fixed_number(const char* field, int width, int decimals, double& value) {
  using short_decimal::digits_value;
  using short_decimal::leading_digits;
  using short_decimal::load8;
  const char* end = field + width;
  const char* point = end - decimals - 1;
  const std::uint64_t tail = load8(end - 8);
  if (((tail >> (8 * (7 - decimals))) & 0xFF) != '.') return false;
  const std::uint64_t fraction = tail >> (8 * (8 - decimals));
  if (leading_digits(fraction) < decimals) return false;
  // Eight bytes before the point; a field with seven there gets a space.
  const std::ptrdiff_t before = point - field;
  std::uint64_t head;
  if (before >= 8) {
    head = load8(point - 8);
    for (const char* p = field; p != point - 8; ++p) {
      if (*p != ' ') return false;
    }
  } else {
    head = (load8(point - 7) << 8) | ' ';
  }
  const std::uint64_t d = head ^ short_decimal::kZeros;
  const std::uint64_t not_digit =
      (((d | short_decimal::kHighBits) - 0x0A0A0A0A0A0A0A0A) | d) & short_decimal::kHighBits;
  const int digits = not_digit == 0 ? 8 : std::countl_zero(not_digit) >> 3;  // at the top
  if (digits == 0) return false;
  // Below the digits: spaces, the one next to them a minus or a space.
  bool negative = false;
  if (digits < 8) {
    const int below = 8 - digits;
    const std::uint64_t mask = (std::uint64_t{1} << (8 * below)) - 1;
    std::uint64_t rest = head & mask;
    negative = (rest >> (8 * (below - 1))) == '-';
    if (negative) rest ^= std::uint64_t{'-' ^ ' '} << (8 * (below - 1));
    if (rest != (0x2020202020202020 & mask)) return false;
  }
  static constexpr std::uint64_t kIntegerPowers[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
  static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
  const std::uint64_t whole = digits_value(head >> (8 * (8 - digits)), digits);
  const std::uint64_t all = whole * kIntegerPowers[decimals] + digits_value(fraction, decimals);
  value = static_cast<double>(all) / kPowers[decimals];
  if (negative) value = -value;
  return true;
}

// The row as VASP prints it (3F13.5, 3X, 3F14.6: 84 bytes), read at its
// columns; false for any other line.
IO_RS_ALWAYS_INLINE bool read_printed_row(std::string_view line, double* position, double* force) {
  if (line.size() == 85 && line[84] == '\r') line.remove_suffix(1);
  if (line.size() != 84) return false;
  const char* p = line.data();
  return read_fixed_number(p, 13, 5, position[0]) && read_fixed_number(p + 13, 13, 5, position[1]) &&
         read_fixed_number(p + 26, 13, 5, position[2]) && read_fixed_number(p + 39, 17, 6, force[0]) &&
         read_fixed_number(p + 56, 14, 6, force[1]) && read_fixed_number(p + 70, 14, 6, force[2]);
}

// One atom line of a POSITION/TOTAL-FORCE table: x y z into position and
// fx fy fz into force (overflow bits 0-2 and 3-5). readable: where the
// buffer ends, so that numbers near the line's end are loaded a word at a
// time. The row as VASP prints it is read at its columns; other lines of
// six plain numbers in one pass over their fields.
IO_RS_ALWAYS_INLINE LineValues read_table_row(std::string_view line, double* position, double* force,
                                              const char* readable) {
  if (read_printed_row(line, position, force)) return {true, 0};
  FieldSplitter fields(line, readable);
  bool plain = true;
  for (int j = 0; j < 6 && plain; ++j) {
    const NumberField number = next_number(fields);
    if (number.text.empty() || !number.value) {
      plain = false;
      break;
    }
    (j < 3 ? position[j] : force[j - 3]) = *number.value;
  }
  if (plain && fields.skip_separators() == fields.end()) return {true, 0};
  double values[6];
  const LineValues read = read_line_values(line, 6, false, values, kRowColumns);
  if (read.ok) {
    for (int j = 0; j < 3; ++j) {
      position[j] = values[j];
      force[j] = values[j + 3];
    }
  }
  return read;
}

}  // namespace io_rs::vasp
