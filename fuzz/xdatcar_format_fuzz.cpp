// format_xdatcar_config on arrays of every layout and shape and any frame
// number, against the header and line layout written out with the
// reference writers.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "support/compare_text.hpp"
#include "support/fuzz_matrix.hpp"
#include "support/reference_fixed.hpp"
#include "vasp/vasp.hpp"

namespace {

fuzz::ExpectedText reference_xdatcar(const io_rs::DoubleMatrixView& m, std::uint64_t index) {
  if (m.rows > 0 && m.cols < 3) return fuzz::out_of_bounds();
  fuzz::ExpectedText want;
  want.text = "Direct configuration=" + fuzz::reference_unsigned(index, 6) + "\n";
  for (std::size_t i = 0; i < m.rows; ++i) {
    want.text += "  ";
    for (std::size_t j = 0; j < 3; ++j) {
      if (j > 0) want.text += ' ';
      want.text += fuzz::reference_fixed(fuzz::element(m, i, j), 11, 8, fuzz::Digits::Printf);
    }
    want.text += '\n';
  }
  return want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto rows = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  const auto cols = in.ConsumeIntegralInRange<std::size_t>(0, 5);
  const auto index = in.ConsumeIntegral<std::uint64_t>() >> in.ConsumeIntegralInRange<int>(0, 63);
  const auto m = fuzz::make_matrix<double>(in, rows, cols, 3);

  const auto want = reference_xdatcar(m.view, index);
  const auto got = io_rs::vasp::format_xdatcar_config(m.view, index);
  fuzz::check_text("(array " + std::to_string(rows) + " x " + std::to_string(cols) + ", index " +
                       std::to_string(index) + ")",
                   want, got);
  return 0;
}
