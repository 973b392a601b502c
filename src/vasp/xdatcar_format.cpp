#include "core/message.hpp"
#include "core/number_write.hpp"
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

void append_xdatcar_config(OutputText& out, const DoubleMatrixView& m, std::uint64_t index) {
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
}

Result<OutputText> format_xdatcar_config(const DoubleMatrixView& scaled_positions, std::uint64_t index) {
  // Shape problems are reported before any memory is asked for.
  if (scaled_positions.rows > 0 && scaled_positions.cols < 3) return index_out_of_bounds();
  OutputText out;
  out.reserve(checked_size(scaled_positions.rows, kLineBytes, kHeaderBytes));
  append_xdatcar_config(out, scaled_positions, index);
  return out;
}

Result<OutputText> format_xdatcar_frames(const DoubleStackView& frames, std::uint64_t first_number) {
  const MatrixView<double>& shape = frames.frame_shape;
  if (frames.frames > 0 && shape.rows > 0 && shape.cols < 3) return index_out_of_bounds();
  if (frames.frames > 0 && frames.frames - 1 > ~std::uint64_t{0} - first_number) {
    return value_error(fill_message("format_xdatcar_frames: the frame numbers would pass {}", {~std::uint64_t{0}}));
  }
  OutputText out;
  out.reserve(checked_size(frames.frames, checked_size(shape.rows, kLineBytes, kHeaderBytes)));
  for (std::size_t f = 0; f < frames.frames; ++f) append_xdatcar_config(out, frames.frame(f), first_number + f);
  return out;
}

}  // namespace io_rs::vasp
