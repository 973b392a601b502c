// format_xyz_block with arbitrary symbol bytes and arrays of every layout
// and shape, against the line layout written out with the reference writers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "frame/line_list.hpp"
#include "support/compare_text.hpp"
#include "support/fuzz_matrix.hpp"
#include "support/reference_fields.hpp"
#include "support/reference_fixed.hpp"
#include "xyz/xyz.hpp"

namespace {

// The width of a symbol counts code points: UTF-8 continuation bytes do not count.
std::size_t code_points(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

// The formatter writes only symbols that read back as their line's one
// symbol field: a single field, and no CR or LF anywhere.
bool reads_back_as_one_field(std::string_view symbol) {
  return fuzz::reference_fields(symbol).size() == 1 && symbol.find_first_of("\r\n") == std::string_view::npos;
}

fuzz::ExpectedText reference_xyz(const std::vector<std::string>& symbols, const io_rs::DoubleMatrixView& m) {
  if (m.rows != symbols.size())
    return fuzz::value_error("format_xyz_block_rs: symbols length (" + std::to_string(symbols.size()) +
                             ") != positions rows (" + std::to_string(m.rows) + ")");
  if (symbols.empty()) return {};
  if (m.cols < 3) return fuzz::out_of_bounds();
  fuzz::ExpectedText want;
  for (std::size_t i = 0; i < m.rows; ++i) {
    const std::string& symbol = symbols[i];
    if (!reads_back_as_one_field(symbol))
      return fuzz::value_error("format_xyz_block_rs: symbol at index " + std::to_string(i) +
                               " is not a single field: '" + symbol + "'");
    want.text += symbol;
    if (code_points(symbol) < 2) want.text.append(2 - code_points(symbol), ' ');
    for (std::size_t j = 0; j < 3; ++j)
      want.text += " " + fuzz::reference_fixed(fuzz::element(m, i, j), 22, 15, fuzz::Digits::Printf);
    want.text += '\n';
  }
  return want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto rows = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  const auto cols = in.ConsumeIntegralInRange<std::size_t>(0, 5);
  const auto count = in.ConsumeIntegralInRange<int>(0, 7) != 0 ? rows : in.ConsumeIntegralInRange<std::size_t>(0, 5);
  std::vector<std::string> symbols;
  for (std::size_t i = 0; i < count; ++i) symbols.push_back(in.ConsumeRandomLengthString(6));
  const auto m = fuzz::make_matrix<double>(in, rows, cols, 3);

  std::vector<std::string_view> views(symbols.begin(), symbols.end());
  const io_rs::PlainLines symbol_list(std::move(views));
  const auto want = reference_xyz(symbols, m.view);
  const auto got = io_rs::xyz::format_xyz_block(symbol_list.list(), m.view);
  fuzz::check_text("(" + std::to_string(count) + " symbols, array " + std::to_string(rows) + " x " +
                       std::to_string(cols) + ")",
                   want, got);
  return 0;
}
