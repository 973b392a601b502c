// format_poscar_positions on arrays of every layout and shape, with and
// without flags (of the same or another shape), against the line layout
// written out with the reference fixed-point writer.
#include <cstdint>
#include <optional>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "support/compare_text.hpp"
#include "support/fuzz_matrix.hpp"
#include "support/reference_fixed.hpp"
#include "vasp/vasp.hpp"

namespace {

using io_rs::BoolMatrixView;
using io_rs::DoubleMatrixView;

fuzz::ExpectedText reference_poscar(const DoubleMatrixView& coord, const std::optional<BoolMatrixView>& flags) {
  if (flags && (flags->rows != coord.rows || flags->cols != coord.cols))
    return fuzz::value_error("format_poscar_positions_rs: coord and flags must have the same shape");
  if (coord.rows == 0) return {};
  if (coord.cols < 3) return fuzz::out_of_bounds();
  fuzz::ExpectedText want;
  for (std::size_t i = 0; i < coord.rows; ++i) {
    for (std::size_t j = 0; j < 3; ++j)
      want.text += " " + fuzz::reference_fixed(fuzz::element(coord, i, j), 19, 16, fuzz::Digits::Printf);
    if (flags) {
      for (std::size_t j = 0; j < 3; ++j) want.text += fuzz::element(*flags, i, j) != 0 ? "   F" : "   T";
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
  const bool with_flags = in.ConsumeBool();
  const bool same_shape = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const auto flag_rows = same_shape ? rows : in.ConsumeIntegralInRange<std::size_t>(0, 5);
  const auto flag_cols = same_shape ? cols : in.ConsumeIntegralInRange<std::size_t>(0, 5);

  const auto coord = fuzz::make_matrix<double>(in, rows, cols, 3);
  std::optional<fuzz::FuzzMatrix<std::uint8_t>> flags;
  std::optional<BoolMatrixView> flag_view;
  if (with_flags) {
    flags = fuzz::make_matrix<std::uint8_t>(in, flag_rows, flag_cols, 3);
    flag_view = flags->view;
  }

  const auto want = reference_poscar(coord.view, flag_view);
  const auto got = io_rs::vasp::format_poscar_positions(coord.view, flag_view);
  fuzz::check_text("(coord " + std::to_string(rows) + " x " + std::to_string(cols) + ")", want, got);
  return 0;
}
