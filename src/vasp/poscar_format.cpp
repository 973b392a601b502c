#include "core/number_write.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

namespace {
// Three coordinates of 19 characters, each after one space, and LF; with
// flags, three fields of 4 more.
constexpr std::size_t kLineBytes = 61;
constexpr std::size_t kLineBytesWithFlags = 73;
constexpr std::uint16_t kWidth = 19;
constexpr std::uint16_t kDecimals = 16;
}  // namespace

Result<OutputText> format_poscar_positions(const DoubleMatrixView& coord,
                                           const std::optional<BoolMatrixView>& flags) {
  if (flags && (flags->rows != coord.rows || flags->cols != coord.cols))
    return value_error("format_poscar_positions_rs: coord and flags must have the same shape");
  OutputText out;
  if (coord.rows == 0) return out;
  if (coord.cols < 3) return index_out_of_bounds();

  out.reserve(checked_size(coord.rows, flags ? kLineBytesWithFlags : kLineBytes));
  for (std::size_t i = 0; i < coord.rows; ++i) {
    const std::byte* row = coord.row(i);
    for (std::size_t j = 0; j < 3; ++j) {
      out.append(' ');
      write_fixed_field<kWidth, kDecimals>(out, coord.at(row, j));
    }
    if (flags) {
      // True holds the atom fixed along that axis: F in the file.
      const std::byte* flag_row = flags->row(i);
      for (std::size_t j = 0; j < 3; ++j)
        out.append(flags->at(flag_row, j) != 0 ? std::string_view("   F") : std::string_view("   T"));
    }
    out.append('\n');
  }
  return out;
}

}  // namespace io_rs::vasp
