#include "frame/number_write.hpp"
#include "vasp/vasp.hpp"

namespace io_rs::vasp {

namespace {
// 28 bytes of header for frame numbers of up to six digits; 38 bytes per line
// of coordinates that fit their 11 columns.
constexpr std::size_t kHeaderBytes = 30;
constexpr std::size_t kLineBytes = 40;
constexpr std::uint16_t kWidth = 11;
constexpr std::uint16_t kDecimals = 8;
}  // namespace

Result<OutputText> format_xdatcar_config(const DoubleMatrixView& scaled_positions,
                                         std::uint64_t index) {
  const DoubleMatrixView& m = scaled_positions;
  // Shape problems are reported before any memory is asked for.
  if (m.rows > 0 && m.cols < 3) return index_out_of_bounds();

  OutputText out;
  out.reserve(checked_size(m.rows, kLineBytes, kHeaderBytes));
  out.append("Direct configuration=");
  write_unsigned(out, index, 6);
  out.append('\n');
  for (std::size_t i = 0; i < m.rows; ++i) {
    const std::byte* row = m.row(i);
    out.append("  ");
    write_fixed_field<kWidth, kDecimals>(out, m.at(row, 0));
    out.append(' ');
    write_fixed_field<kWidth, kDecimals>(out, m.at(row, 1));
    out.append(' ');
    write_fixed_field<kWidth, kDecimals>(out, m.at(row, 2));
    out.append('\n');
  }
  return out;
}

}  // namespace io_rs::vasp
