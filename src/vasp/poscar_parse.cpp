#include "core/message.hpp"
#include "vasp/atom_lines.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

Error poscar_line_error(const LineOutcome& outcome, std::size_t index) {
  switch (outcome.problem) {
    case LineProblem::BadNumber:
      return format_error("POSCAR", fill_message("cannot parse coordinate '{}' on atom line {}: {}",
                                                 {outcome.field, index, number_error_reason(outcome.reason)}),
                          outcome.field).error();
    case LineProblem::BadFlag:
      return format_error("POSCAR",
                          fill_message("expected selective dynamics flag 'T' or 'F', got '{}' on atom line {}",
                                       {outcome.field, index}),
                          outcome.field).error();
    default:
      return format_error("POSCAR", fill_message("not enough fields on atom line {} (need 3 coordinates)", {index})).error();
  }
}

Result<PoscarBlock> parse_poscar_positions(const LineList& lines, bool selective) {
  const std::size_t n = lines.size();
  PoscarBlock block{OwnedMatrix<double>::allocate(n, 3), std::nullopt};
  std::uint8_t* flags = nullptr;
  if (selective) {
    block.flags = OwnedMatrix<std::uint8_t>::allocate(n, 3, /*zeroed=*/true);
    flags = block.flags->values.data();
  }
  double* positions = block.positions.values.data();
  for (std::size_t i = 0; i < n; ++i) {
    const LineOutcome outcome = read_poscar_line(lines[i], selective, positions + 3 * i, flags ? flags + 3 * i : nullptr);
    if (!outcome.ok()) [[unlikely]] return std::unexpected(poscar_line_error(outcome, i));
  }
  return block;
}

}  // namespace io_rs::vasp
