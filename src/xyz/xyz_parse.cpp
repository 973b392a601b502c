#include <string>

#include "core/message.hpp"
#include "xyz/atom_line.hpp"
#include "xyz/xyz.hpp"

namespace io_rs::xyz {

Error xyz_line_error(const LineOutcome& outcome, std::size_t index) {
  switch (outcome.problem) {
    case LineProblem::NoFields:
      return format_error("XYZ", fill_message("empty line at atom index {}", {index})).error();
    case LineProblem::NotUtf8:
      return format_error("XYZ", fill_message("the symbol on atom line {} is not UTF-8 text", {index})).error();
    case LineProblem::BadNumber:
      return format_error("XYZ", fill_message("cannot parse coordinate '{}' on line {}: {}",
                                              {outcome.field, index, number_error_reason(outcome.reason)}),
                          outcome.field).error();
    default:
      return format_error("XYZ", fill_message("not enough position fields on atom line {}", {index})).error();
  }
}

Result<XyzBlock> parse_xyz_block(const LineList& lines) {
  const std::size_t n = lines.size();
  XyzBlock block{InternedTexts{}, OwnedMatrix<double>::allocate(n, 3)};
  block.symbols.reserve(n);
  std::string scratch;
  double* rows = block.positions.values.data();
  for (std::size_t i = 0; i < n; ++i) {
    const LineOutcome outcome = read_xyz_line(lines[i], block.symbols, scratch, rows + 3 * i);
    if (!outcome.ok()) [[unlikely]] return std::unexpected(xyz_line_error(outcome, i));
  }
  return block;
}

}  // namespace io_rs::xyz
