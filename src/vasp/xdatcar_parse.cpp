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
      const std::string_view field = fields.next();
      if (field.empty())
        return value_error(fill_message("XDATCAR: not enough fields on coordinate line {}", {i}));
      const auto value = read_number(field);
      if (!value) {
        return value_error(fill_message("XDATCAR: cannot parse '{}' on line {}: {}",
                                        {field, i, number_error_reason(value.error())}));
      }
      row[j] = *value;
    }
  }
  return positions;
}

}  // namespace io_rs::vasp
