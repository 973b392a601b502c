#include "core/message.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

Error xdatcar_line_error(const LineOutcome& outcome, std::size_t index) {
  if (outcome.problem == LineProblem::BadNumber) {
    return format_error("XDATCAR", fill_message("cannot parse '{}' on line {}: {}",
                                                {outcome.field, index, number_error_reason(outcome.reason)}),
                        outcome.field).error();
  }
  return format_error("XDATCAR", fill_message("not enough fields on coordinate line {}", {index})).error();
}

Result<OwnedMatrix<double>> parse_xdatcar_coords(const LineList& lines) {
  const std::size_t n = lines.size();
  auto positions = OwnedMatrix<double>::allocate(n, 3);
  double* rows = positions.values.data();
  for (std::size_t i = 0; i < n; ++i) {
    const LineOutcome outcome = read_xdatcar_line(lines[i], rows + 3 * i);
    if (!outcome.ok()) [[unlikely]] return std::unexpected(xdatcar_line_error(outcome, i));
  }
  return positions;
}

}  // namespace io_rs::vasp
