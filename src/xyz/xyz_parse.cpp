#include "frame/fields.hpp"
#include "frame/message.hpp"
#include "frame/number_read.hpp"
#include "xyz/symbol_case.hpp"
#include "xyz/xyz.hpp"

namespace io_rs::xyz {

Result<XyzBlock> parse_xyz_block(const LineList& lines) {
  const std::size_t n = lines.size();
  XyzBlock block{TextList{}, OwnedMatrix<double>::allocate(n, 3)};
  block.symbols.reserve(n, 2);  // most symbols have one or two letters
  double* row = block.positions.values.data();

  for (std::size_t i = 0; i < n; ++i, row += 3) {
    FieldSplitter fields(lines[i]);
    const std::string_view symbol = fields.next();
    if (symbol.empty()) return value_error(fill_message("XYZ: empty line at atom index {}", {i}));
    append_normalized_symbol(block.symbols.text(), symbol);
    block.symbols.end_entry();

    for (int j = 0; j < 3; ++j) {
      const std::string_view field = fields.next();
      if (field.empty())
        return value_error(fill_message("XYZ: not enough position fields on atom line {}", {i}));
      const auto value = read_number(field);
      if (!value) {
        return value_error(fill_message("XYZ: cannot parse coordinate '{}' on line {}: {}",
                                        {field, i, number_error_reason(value.error())}));
      }
      row[j] = *value;
    }
  }
  return block;
}

}  // namespace io_rs::xyz
