// One atom line of a POSCAR block and one coordinate line of an XDATCAR
// frame, read in place. Inline, so that the routine over a list of lines and
// the one over a file's bytes each get the loop body folded in.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/line_outcome.hpp"
#include "core/number_read.hpp"
#include "core/portable.hpp"

namespace io_rs::vasp {

// Three coordinates into row; with selective dynamics up to three flags
// into flag_row (which starts all 0), F as 1 (held fixed along that axis)
// and T as 0 (free to move). Flags missing at the end of the line mean T;
// fields after the third flag, or after the third coordinate without
// selective dynamics, are never looked at. Lines inside a file's bytes may
// give where those end (readable): numbers near a line's end are then
// loaded a word at a time.
IO_RS_ALWAYS_INLINE LineOutcome read_poscar_line(std::string_view line, bool selective, double* row,
                                                 std::uint8_t* flag_row, const char* readable = nullptr) {
  FieldSplitter fields(line, readable ? readable : line.data() + line.size());
  if (const LineOutcome coordinates = read_coordinates(fields, row); !coordinates.ok() || !selective)
    return coordinates;
  for (int j = 0; j < 3; ++j) {
    const std::string_view field = fields.next();
    if (field.empty()) break;
    if (field == "F") flag_row[j] = 1;
    else if (field != "T") return {LineProblem::BadFlag, field, NumberError::Invalid};
  }
  return {};
}

// Three numbers into row; the rest of the line is never looked at.
IO_RS_ALWAYS_INLINE LineOutcome read_xdatcar_line(std::string_view line, double* row,
                                                  const char* readable = nullptr) {
  FieldSplitter fields(line, readable ? readable : line.data() + line.size());
  return read_coordinates(fields, row);
}

// The messages, naming the line by its 0-based position in the block.
Error poscar_line_error(const LineOutcome& outcome, std::size_t index);
Error xdatcar_line_error(const LineOutcome& outcome, std::size_t index);

}  // namespace io_rs::vasp
