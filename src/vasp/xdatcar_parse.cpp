#include "frame/fields.hpp"
#include "frame/message.hpp"
#include "frame/number_read.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

Result<OwnedMatrix<double>> parse_xdatcar_coords(const LineList& lines) {
  const std::size_t n = lines.size();
  auto positions = OwnedMatrix<double>::allocate(n, 3);
  double* row = positions.values.data();
  for (std::size_t i = 0; i < n; ++i, row += 3) {
    FieldSplitter fields(lines[i]);
    for (int j = 0; j < 3; ++j) {
      const NumberField number = next_number(fields);
      if (number.text.empty())
        return value_error(fill_message("XDATCAR: not enough fields on coordinate line {}", {i}));
      if (!number.value) {
        return value_error(fill_message("XDATCAR: cannot parse '{}' on line {}: {}",
                                        {number.text, i, number_error_reason(number.value.error())}));
      }
      row[j] = *number.value;
    }
  }
  return positions;
}

}  // namespace io_rs::vasp
