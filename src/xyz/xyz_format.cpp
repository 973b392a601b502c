#include "core/fields.hpp"
#include "core/message.hpp"
#include "core/number_write.hpp"
#include "xyz/xyz.hpp"

namespace io_rs::xyz {

namespace {
// A symbol of up to two characters, three coordinates of 22 characters each
// after a space, and LF make 72 bytes; three more leave room to spare.
constexpr std::size_t kLineBytes = 75;
constexpr std::uint16_t kWidth = 22;
constexpr std::uint16_t kDecimals = 15;

bool is_printable_ascii(char c) { return c > ' ' && c < 0x7F; }

bool is_short_printable(std::string_view symbol) {
  return (symbol.size() == 1 && is_printable_ascii(symbol[0])) ||
         (symbol.size() == 2 && is_printable_ascii(symbol[0]) && is_printable_ascii(symbol[1]));
}

// A symbol must read back as the one symbol field of its line: exactly one
// field under the parsers' splitting, and no line break anywhere in it.
bool is_single_field(std::string_view symbol) {
  FieldSplitter fields(symbol);
  if (fields.next().empty() || !fields.next().empty()) return false;
  return symbol.find_first_of("\r\n") == std::string_view::npos;
}

// The atom lines of symbols [first, first + rows) and the same position
// rows; index counts from first in messages.
Result<void> append_atom_lines(OutputText& out, const char* function, const LineList& symbols, std::size_t first,
                               const DoubleMatrixView& positions, std::size_t rows) {
  for (std::size_t i = first; i < first + rows; ++i) {
    const std::string_view symbol = symbols[i];
    if (is_short_printable(symbol)) {
      // Most symbols: one or two printable ASCII letters.
      char* p = out.room(2);
      p[0] = symbol[0];
      p[1] = symbol.size() == 2 ? symbol[1] : ' ';
      out.commit(2);
    } else if (is_single_field(symbol)) {
      write_padded(out, symbol, 2, Align::Left);
    } else {
      return value_error(fill_message("{}: symbol at index {} is not a single field: '{}'", {function, i, symbol}));
    }
    const std::byte* row = positions.row(i);
    for (std::size_t j = 0; j < 3; ++j) {
      out.append(' ');
      write_fixed_field<kWidth, kDecimals>(out, positions.at(row, j));
    }
    out.append('\n');
  }
  return {};
}

}  // namespace

Result<OutputText> format_xyz_block(const LineList& symbols, const DoubleMatrixView& positions) {
  const std::size_t n = symbols.size();
  if (positions.rows != n) {
    return value_error(fill_message("format_xyz_block_rs: symbols length ({}) != positions rows ({})",
                                    {n, positions.rows}));
  }
  OutputText out;
  if (n == 0) return out;
  if (positions.cols < 3) return index_out_of_bounds();
  out.reserve(checked_size(n, kLineBytes));
  if (auto written = append_atom_lines(out, "format_xyz_block_rs", symbols, 0, positions, n); !written)
    return std::unexpected(std::move(written.error()));
  return out;
}

Result<OutputText> format_xyz_frames(const LineList& comments, const LineList& symbols,
                                     const DoubleMatrixView& positions, std::span<const std::uint64_t> counts) {
  if (comments.size() != counts.size()) {
    return value_error(fill_message("format_xyz_frames: comments length ({}) != counts length ({})",
                                    {comments.size(), counts.size()}));
  }
  std::uint64_t total = 0;
  for (std::uint64_t count : counts) {
    if (count > ~std::uint64_t{0} - total) return value_error("format_xyz_frames: the counts add up past 2**64");
    total += count;
  }
  if (total != symbols.size() || total != positions.rows) {
    return value_error(fill_message("format_xyz_frames: counts add up to {}, symbols length is {}, positions rows {}",
                                    {total, symbols.size(), positions.rows}));
  }
  OutputText out;
  if (total > 0 && positions.cols < 3) return index_out_of_bounds();
  out.reserve(checked_size(symbols.size(), kLineBytes, checked_size(counts.size(), 24)));
  std::size_t first = 0;
  for (std::size_t f = 0; f < counts.size(); ++f) {
    const std::string_view comment = comments[f];
    if (comment.find_first_of("\r\n") != std::string_view::npos)
      return value_error(fill_message("format_xyz_frames: comment {} is not a single line: '{}'", {f, comment}));
    write_unsigned(out, counts[f], 0);
    out.append('\n');
    out.append(comment);
    out.append('\n');
    if (auto written = append_atom_lines(out, "format_xyz_frames", symbols, first, positions, counts[f]); !written)
      return std::unexpected(std::move(written.error()));
    first += counts[f];
  }
  return out;
}

}  // namespace io_rs::xyz
