// Every writer on each input: write_fixed against the exact conversions of
// the standard and the C library, write_shortest_real against to_chars; then the POSCAR, XDATCAR and XYZ formatters
// on one array drawn in any layout and shape, against their line layouts
// spelled out with one reference line writer.
#include <bit>
#include <charconv>
#include <cmath>
#include <optional>
#include <type_traits>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/line_list.hpp"
#include "core/matrix_view.hpp"
#include "core/number_write.hpp"
#include "core/shortest_real.hpp"
#include "support/harness.hpp"
#include "support/reference.hpp"
#include "vasp/vasp.hpp"
#include "xyz/xyz.hpp"

namespace {

using Text = fuzz::Expected<std::string>;
Text value_error(std::string message) { return {io_rs::ErrorKind::Value, std::move(message), {}}; }

// A double. Raw bit patterns alone seldom land where decimal rounding is hard,
// so some draws build such values on purpose: short binary fractions (exact
// ties at a decimal place) and decimals plus half a unit (near ties).
double fuzz_double(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 4)) {
    case 0: return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    case 1: {
      const auto numerator = in.ConsumeIntegral<std::int64_t>() >> in.ConsumeIntegralInRange<int>(0, 63);
      return std::ldexp(static_cast<double>(numerator), -in.ConsumeIntegralInRange<int>(0, 70));
    }
    case 2: {
      const auto units = in.ConsumeIntegralInRange<std::int64_t>(-999999999999999, 999999999999999);
      return (static_cast<double>(units) + 0.5) * std::pow(10.0, -in.ConsumeIntegralInRange<int>(0, 22));
    }
    case 3: {
      const double fraction = 1.0 + static_cast<double>(in.ConsumeIntegral<std::uint32_t>()) / 4294967296.0;
      const double v = std::ldexp(fraction, in.ConsumeIntegralInRange<int>(-1074, 1023));
      return in.ConsumeBool() ? -v : v;
    }
    default: {
      constexpr double kSpecial[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, -NAN, 0.5, -0.5, 9.999999995,
                                     0.001953125, 0.005859375, 1e16, 1e300, -1e-12, 5e-9, 99.999999996,
                                     4.9406564584124654e-324, 1.7976931348623157e308};
      return kSpecial[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kSpecial) - 1)];
    }
  }
}

// A matrix in any layout an array can have: C order, Fortran order, reversed
// rows, broadcast rows or columns, or arbitrary (overlapping, negative,
// misaligned) byte strides, in an exact block of the bytes of rows x readable
// columns: a formatter that reads any other element is reported, a column it
// must leave alone included.
template <class T>
struct FuzzMatrix {
  std::unique_ptr<char[]> storage;
  io_rs::MatrixView<T> view;
};

template <class T>
FuzzMatrix<T> make_matrix(FuzzedDataProvider& in, std::size_t rows, std::size_t cols, std::size_t readable_cols) {
  constexpr auto e = static_cast<std::ptrdiff_t>(sizeof(T));
  const auto r = static_cast<std::ptrdiff_t>(rows), c = static_cast<std::ptrdiff_t>(cols);
  std::ptrdiff_t row_stride = c * e, col_stride = e;
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: break;                                      // C order
    case 1: row_stride = e; col_stride = r * e; break;  // Fortran order, a transpose's layout
    case 2: row_stride = -c * e; break;                 // rows reversed
    case 3: row_stride = 0; break;                      // one row broadcast
    case 4: col_stride = 0; break;                      // one value broadcast along each row
    default:
      row_stride = in.ConsumeIntegralInRange<std::ptrdiff_t>(-64, 64);
      col_stride = in.ConsumeIntegralInRange<std::ptrdiff_t>(-64, 64);
  }

  // The bytes touched run from low to high, relative to element (0, 0).
  const auto last_row = (r - 1) * row_stride;
  const auto last_col = (static_cast<std::ptrdiff_t>(std::min(readable_cols, cols)) - 1) * col_stride;
  const bool none = rows == 0 || cols == 0 || readable_cols == 0;
  const std::ptrdiff_t zero = 0;
  const auto low = none ? zero : std::min(last_row, zero) + std::min(last_col, zero);
  const auto high = none ? zero : std::max(last_row, zero) + std::max(last_col, zero) + e;
  const auto bytes = static_cast<std::size_t>(high - low);
  FuzzMatrix<T> m{fuzz::exact_block(bytes), {}};
  for (std::size_t at = 0; at < bytes; at += sizeof(T)) {
    T value;
    if constexpr (std::is_same_v<T, double>) value = fuzz_double(in);
    else value = in.ConsumeIntegral<T>();
    std::memcpy(m.storage.get() + at, &value, std::min(sizeof(T), bytes - at));
  }
  m.view = {reinterpret_cast<const std::byte*>(m.storage.get()) - low, rows, cols, row_stride, col_stride};
  return m;
}

// Element (i, j) read the way a NumPy user would define it.
template <class T>
T element(const io_rs::MatrixView<T>& v, std::size_t i, std::size_t j) {
  T value;
  const auto offset = static_cast<std::ptrdiff_t>(i) * v.row_stride + static_cast<std::ptrdiff_t>(j) * v.col_stride;
  std::memcpy(&value, v.data + offset, sizeof value);
  return value;
}

// The field goes after some text already in the output, which must stay as it was.
void check_write_fixed(FuzzedDataProvider& in) {
  const double value = fuzz_double(in);
  // Mostly the precisions and widths formatters use; now and then far beyond,
  // past the 1074 fraction digits that any float64 can have.
  const bool wide = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  const auto precision = in.ConsumeIntegralInRange<std::uint16_t>(0, wide ? 1200 : 24);
  const auto width = in.ConsumeIntegralInRange<std::uint16_t>(0, wide ? 1500 : 40);
  const std::string before = in.ConsumeRandomLengthString(80);
  fuzz::testing("write_fixed", fuzz::describe(value) + " width " + std::to_string(width) + " precision " +
                                   std::to_string(precision));
  io_rs::OutputText out;
  // An empty append to an output that owns no memory yet would pass a null
  // pointer to memcpy; no formatter does that, so neither does the harness.
  if (!before.empty()) out.append(before);
  io_rs::write_fixed(out, value, width, precision);
  const std::string_view text = out.view();
  fuzz::check_equal("text before the field", before, text.substr(0, before.size()));
  const std::string_view field = text.substr(before.size());
  fuzz::check_equal("field (to_chars)", fuzz::reference_fixed(value, width, precision, fuzz::Digits::ToChars), field);
  fuzz::check_equal("field (printf)", fuzz::reference_fixed(value, width, precision, fuzz::Digits::Printf), field);
}

// The shortest digits against std::to_chars: any double, and one of few
// decimals (m / 10^k), which the writer finds its own way below 2^24.
void check_shortest_real(FuzzedDataProvider& in) {
  constexpr double kPowers[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
  const double any = fuzz_double(in);
  const auto digits = in.ConsumeIntegralInRange<std::uint64_t>(0, std::uint64_t{1} << 53);
  const double few = static_cast<double>(digits) / kPowers[in.ConsumeIntegralInRange<int>(0, 9)];
  for (const double value : {any, few, -few, std::nextafter(few, 0.0)}) {
    fuzz::testing("write_shortest_real", fuzz::describe(value));
    char ours[io_rs::kShortestRealRoom], theirs[64];
    const char* end = io_rs::write_shortest_real(ours, value);
    const char* expected = std::to_chars(theirs, theirs + sizeof theirs, value).ptr;
    fuzz::check_equal("shortest digits", std::string_view(theirs, static_cast<std::size_t>(expected - theirs)),
                      std::string_view(ours, static_cast<std::size_t>(end - ours)));
  }
}

// The reference line writer: the three coordinates of row i one space apart,
// each right-aligned in width with precision decimals from %.*f.
std::string coordinates(const io_rs::DoubleMatrixView& m, std::size_t i, unsigned width, unsigned precision) {
  std::string line;
  for (std::size_t j = 0; j < 3; ++j)
    line += (j > 0 ? " " : "") + fuzz::reference_fixed(element(m, i, j), width, precision, fuzz::Digits::Printf);
  return line;
}

// Past its own shape checks, a formatter reads columns 0 to 2 of every row:
// out of bounds in an array with rows but fewer columns.
Text lines_of(const io_rs::DoubleMatrixView& m) {
  if (m.rows > 0 && m.cols < 3) return {io_rs::ErrorKind::Internal, "ndarray: index out of bounds", {}};
  return {};
}

void check_text(const char* routine, const std::string& input, const Text& want,
                const io_rs::Result<io_rs::OutputText>& got) {
  fuzz::testing(routine, input);
  fuzz::check(want, got, [](std::string_view text, const io_rs::OutputText& out) {
    // The report shows the first line that differs.
    const std::string_view written = out.view();
    const auto diff = std::mismatch(text.begin(), text.end(), written.begin(), written.end()).first - text.begin();
    const std::size_t start = diff == 0 ? 0 : text.rfind('\n', diff - 1) + 1;
    const auto line = [start](std::string_view t) {
      const std::size_t end = t.find('\n', start);
      return t.substr(start, end == t.npos ? t.npos : end + 1 - start);
    };
    const auto number = std::count(text.begin(), text.begin() + start, '\n');
    if (text != written) fuzz::fail("text at line " + std::to_string(number), line(text), line(written));
  });
}

void check_blocks(FuzzedDataProvider& in) {
  const auto rows = in.ConsumeIntegralInRange<std::size_t>(0, 40);
  const auto cols = in.ConsumeIntegralInRange<std::size_t>(0, 5);
  const auto coord = make_matrix<double>(in, rows, cols, 3);
  const auto& m = coord.view;
  const std::string shape = "array " + std::to_string(rows) + " x " + std::to_string(cols);

  // POSCAR, with or without flags (now and then of another shape). A true flag
  // holds the atom fixed along that axis: F in the file.
  const bool same_shape = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const auto flag_rows = same_shape ? rows : in.ConsumeIntegralInRange<std::size_t>(0, 5);
  const auto flag_cols = same_shape ? cols : in.ConsumeIntegralInRange<std::size_t>(0, 5);
  std::optional<FuzzMatrix<std::uint8_t>> flag_matrix;
  std::optional<io_rs::BoolMatrixView> flags;
  if (in.ConsumeBool()) flags = flag_matrix.emplace(make_matrix<std::uint8_t>(in, flag_rows, flag_cols, 3)).view;
  Text poscar = flags && (flag_rows != rows || flag_cols != cols)
                    ? value_error("format_poscar_positions_rs: coord and flags must have the same shape")
                    : lines_of(m);
  for (std::size_t i = 0; poscar.message.empty() && i < rows; ++i) {
    poscar.value += " " + coordinates(m, i, 19, 16);
    for (std::size_t j = 0; flags && j < 3; ++j) poscar.value += element(*flags, i, j) != 0 ? "   F" : "   T";
    poscar.value += "\n";
  }
  check_text("format_poscar_positions", shape + (flags ? ", flags" : ""), poscar,
             io_rs::vasp::format_poscar_positions(m, flags));

  // XDATCAR: a header with the frame number first.
  const auto index = in.ConsumeIntegral<std::uint64_t>() >> in.ConsumeIntegralInRange<int>(0, 63);
  Text xdatcar = lines_of(m);
  if (xdatcar.message.empty())
    xdatcar.value = "Direct configuration=" + fuzz::right_aligned(std::to_string(index), 6) + "\n";
  for (std::size_t i = 0; xdatcar.message.empty() && i < rows; ++i)
    xdatcar.value += "  " + coordinates(m, i, 11, 8) + "\n";
  check_text("format_xdatcar_config", shape + ", index " + std::to_string(index), xdatcar,
             io_rs::vasp::format_xdatcar_config(m, index));

  // XYZ: symbols of arbitrary bytes, each in an exact block, as many as the
  // rows or (now and then) not.
  const auto count = in.ConsumeIntegralInRange<int>(0, 7) != 0 ? rows : in.ConsumeIntegralInRange<std::size_t>(0, 5);
  fuzz::ExactTexts texts;
  std::vector<std::string_view> symbols;
  for (std::size_t i = 0; i < count; ++i) symbols.push_back(texts.copy(in.ConsumeRandomLengthString(6)));
  Text xyz = count != rows ? value_error(fuzz::fill("format_xyz_block_rs: symbols length ({}) != positions rows ({})",
                                                    {std::to_string(count), std::to_string(rows)}))
                           : lines_of(m);
  for (std::size_t i = 0; xyz.message.empty() && i < rows; ++i) {
    // Only a symbol that reads back as its line's one field is written (a
    // single field, no CR or LF anywhere), left-aligned in two characters
    // counted as code points: UTF-8 continuation bytes do not count.
    const std::string_view symbol = symbols[i];
    if (fuzz::reference_fields(symbol).size() != 1 || symbol.find_first_of("\r\n") != std::string_view::npos)
      xyz = value_error(fuzz::fill("format_xyz_block_rs: symbol at index {} is not a single field: '{}'",
                                   {std::to_string(i), symbol}));
    std::size_t code_points = 0;
    for (const unsigned char c : symbol) code_points += (c & 0xC0) != 0x80;
    xyz.value += std::string(symbol) + std::string(code_points < 2 ? 2 - code_points : 0, ' ') + " " +
                 coordinates(m, i, 22, 15) + "\n";
  }
  const io_rs::PlainLines symbol_list(std::move(symbols));
  check_text("format_xyz_block", std::to_string(count) + " symbols, " + shape, xyz,
             io_rs::xyz::format_xyz_block(symbol_list.list(), m));
}

}  // namespace

// Each check draws its arguments from the whole input.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const auto check : {check_write_fixed, check_shortest_real, check_blocks}) {
    FuzzedDataProvider in(data, size);
    check(in);
  }
  return 0;
}
