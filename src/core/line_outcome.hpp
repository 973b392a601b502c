// What reading one line of a block found wrong, if anything: the kind of
// problem and the field it lies in. A line reader only reports it; the
// routine that knows the line's place (in a list of lines, or in a file)
// turns it into the format's message.
#pragma once

#include <string_view>

#include "core/fields.hpp"
#include "core/number_read.hpp"
#include "core/portable.hpp"

namespace io_rs {

enum class LineProblem : unsigned char {
  None,
  NoFields,      // an empty line, or separators only
  TooFewFields,  // the line ended before a field the format needs
  BadNumber,     // field is not a number; reason says why
  BadFlag,       // field is not a selective-dynamics flag
  NotUtf8,       // field is not UTF-8 text (only bytes read from a file can hold such)
};

struct LineOutcome {
  LineProblem problem = LineProblem::None;
  std::string_view field;
  NumberError reason = NumberError::Invalid;

  bool ok() const noexcept { return problem == LineProblem::None; }
};

// The next three fields of a line read as numbers into row: what every atom
// line holds, after its symbol in an XYZ file.
IO_RS_ALWAYS_INLINE LineOutcome read_coordinates(FieldSplitter& fields, double* row) {
  for (int j = 0; j < 3; ++j) {
    const NumberField number = next_number(fields);
    if (number.text.empty()) return {LineProblem::TooFewFields, {}, NumberError::Invalid};
    if (!number.value) return {LineProblem::BadNumber, number.text, number.value.error()};
    row[j] = *number.value;
  }
  return {};
}

}  // namespace io_rs
