#include "vasp/outcar_values.hpp"

#include "core/piece.hpp"

namespace io_rs::vasp {
namespace {

// Separated fields, each a number or (with stars) a Fortran overflow.
LineValues separated(std::string_view text, std::size_t count, bool more, double* out, bool stars) {
  FieldSplitter fields(text);
  LineValues read;
  for (std::size_t k = 0; k < count; ++k) {
    const std::string_view field = fields.next();
    if (field.empty()) return {};
    const ValueState state = read_value(field, out[k]);
    if (state == ValueState::Bad || (state == ValueState::Overflow && !stars)) return {};
    if (state == ValueState::Overflow) read.overflow |= 1u << k;
  }
  if (!more && !fields.next().empty()) return {};
  read.ok = true;
  return read;
}

// The fields at fixed columns; the text before the first column must be
// blank, and so must what follows the last unless more fields may follow.
LineValues fixed(std::string_view text, std::size_t count, bool more, double* out,
                 std::span<const std::size_t> columns) {
  if (columns.size() < count + 1 || text.size() <= columns[count - 1] || !is_blank(text.substr(0, columns[0])))
    return {};
  if (!more && text.size() > columns[count] && !is_blank(text.substr(columns[count]))) return {};
  LineValues read;
  for (std::size_t k = 0; k < count; ++k) {
    const std::string_view field = trimmed(text.substr(columns[k], columns[k + 1] - columns[k]));
    const ValueState state = read_value(field, out[k]);
    if (state == ValueState::Bad) return {};
    if (state == ValueState::Overflow) read.overflow |= 1u << k;
  }
  read.ok = true;
  return read;
}

}  // namespace

LineValues read_line_values(std::string_view text, std::size_t count, bool more, double* out,
                            std::span<const std::size_t> columns) {
  // Plain numbers, the common line; then the columns, which hold whatever
  // touches; then overflows standing apart in a layout of other columns.
  if (const LineValues read = separated(text, count, more, out, false); read.ok) return read;
  if (const LineValues read = fixed(text, count, more, out, columns); read.ok) return read;
  return separated(text, count, more, out, true);
}

}  // namespace io_rs::vasp
