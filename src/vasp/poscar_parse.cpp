#include "frame/fields.hpp"
#include "frame/message.hpp"
#include "frame/number_read.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

Result<PoscarBlock> parse_poscar_positions(const LineList& lines, bool selective) {
  const std::size_t n = lines.size();
  PoscarBlock block{OwnedMatrix<double>::allocate(n, 3), std::nullopt};
  std::uint8_t* flags = nullptr;
  if (selective) {
    block.flags = OwnedMatrix<std::uint8_t>::allocate(n, 3, /*zeroed=*/true);
    flags = block.flags->values.data();
  }
  double* row = block.positions.values.data();

  for (std::size_t i = 0; i < n; ++i, row += 3) {
    FieldSplitter fields(lines[i]);
    for (int j = 0; j < 3; ++j) {
      const NumberField number = next_number(fields);
      if (number.text.empty()) {
        return value_error(
            fill_message("POSCAR: not enough fields on atom line {} (need 3 coordinates)", {i}));
      }
      if (!number.value) {
        return value_error(fill_message("POSCAR: cannot parse coordinate '{}' on atom line {}: {}",
                                        {number.text, i, number_error_reason(number.value.error())}));
      }
      row[j] = *number.value;
    }
    if (!selective) continue;

    // Selective dynamics: F holds the atom fixed along the axis, T lets it
    // move. Flags missing at the end of the line mean T.
    std::uint8_t* flag_row = flags + 3 * i;
    for (int j = 0; j < 3; ++j) {
      const std::string_view field = fields.next();
      if (field.empty()) break;
      if (field == "F") {
        flag_row[j] = 1;
      } else if (field == "T") {
        flag_row[j] = 0;
      } else {
        return value_error(fill_message(
            "POSCAR: expected selective dynamics flag 'T' or 'F', got '{}' on atom line {}",
            {field, i}));
      }
    }
  }
  return block;
}

}  // namespace io_rs::vasp
