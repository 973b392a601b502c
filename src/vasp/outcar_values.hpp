// The numbers of an OUTCAR line. VASP writes them with Fortran formats of
// fixed widths: a value too large for its width is printed as asterisks
// (****, read as NaN and reported), and one that fills its width touches
// its neighbour. Lines are read as separated fields first; where that does
// not give every value, at the format's fixed columns.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

#include "core/fields.hpp"
#include "core/number_read.hpp"
#include "core/portable.hpp"

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

// One atom line of a POSITION/TOTAL-FORCE table: x y z into position and
// fx fy fz into force (overflow bits 0-2 and 3-5). readable: where the buffer ends, so that numbers
// near the line's end are loaded a word at a time. The common line of six
// plain numbers is read in one pass over its fields.
IO_RS_ALWAYS_INLINE LineValues read_table_row(std::string_view line, double* position, double* force,
                                              const char* readable) {
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
