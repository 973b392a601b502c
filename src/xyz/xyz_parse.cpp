#include <string>

#include "frame/fields.hpp"
#include "frame/message.hpp"
#include "frame/number_read.hpp"
#include "xyz/symbol_case.hpp"
#include "xyz/xyz.hpp"

namespace io_rs::xyz {

Result<XyzBlock> parse_xyz_block(const LineList& lines) {
  const std::size_t n = lines.size();
  XyzBlock block{TextList{}, OwnedMatrix<double>::allocate(n, 3)};
  block.symbols.reserve(n);
  std::string symbol_text;  // a long or non-ASCII symbol, normalised
  double* row = block.positions.values.data();

  for (std::size_t i = 0; i < n; ++i, row += 3) {
    FieldSplitter fields(lines[i]);
    const std::string_view symbol = fields.next();
    if (symbol.empty()) return value_error(fill_message("XYZ: empty line at atom index {}", {i}));
    if (char ascii[8]; normalize_short_ascii(symbol, ascii)) {
      block.symbols.push_back(std::string_view(ascii, symbol.size()));
    } else {
      symbol_text.clear();
      append_normalized_symbol(symbol_text, symbol);
      block.symbols.push_back(symbol_text);
    }

    for (int j = 0; j < 3; ++j) {
      const NumberField number = next_number(fields);
      if (number.text.empty())
        return value_error(fill_message("XYZ: not enough position fields on atom line {}", {i}));
      if (!number.value) {
        return value_error(fill_message("XYZ: cannot parse coordinate '{}' on line {}: {}",
                                        {number.text, i, number_error_reason(number.value.error())}));
      }
      row[j] = *number.value;
    }
  }
  return block;
}

}  // namespace io_rs::xyz
