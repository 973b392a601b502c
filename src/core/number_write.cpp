#include "core/number_write.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace io_rs {
namespace {

// Every float64 is a finite binary fraction: at most 309 integer digits and
// 1074 fraction digits. Asked for more fraction digits, the rest are zeros.
constexpr std::uint16_t kMaxExactFractionDigits = 1074;
constexpr std::size_t kFixedScratch = 309 + 1 + kMaxExactFractionDigits + 16;

// Appends fill spaces, sign, body and then zeros trailing zeros.
void append_field(OutputText& out, std::uint16_t width, bool negative, std::string_view body,
                  std::size_t zeros) {
  const std::size_t length = (negative ? 1 : 0) + body.size() + zeros;
  const std::size_t fill = width > length ? width - length : 0;
  char* p = out.room(checked_size(1, fill + length));
  std::memset(p, ' ', fill);
  p += fill;
  if (negative) *p++ = '-';
  std::memcpy(p, body.data(), body.size());
  p += body.size();
  std::memset(p, '0', zeros);
  out.commit(fill + length);
}

}  // namespace

void write_fixed_general(OutputText& out, double value, std::uint16_t width, std::uint16_t precision) {
  if (std::isnan(value)) return append_field(out, width, false, "NaN", 0);
  const bool negative = std::signbit(value);
  if (std::isinf(value)) return append_field(out, width, negative, "inf", 0);
  if (value == 0.0) {
    return precision == 0 ? append_field(out, width, negative, "0", 0)
                          : append_field(out, width, negative, "0.", precision);
  }
  const std::uint16_t exact = std::min(precision, kMaxExactFractionDigits);
  char scratch[kFixedScratch];
  auto result = std::to_chars(scratch, scratch + sizeof scratch, std::fabs(value),
                              std::chars_format::fixed, exact);
  append_field(out, width, negative, std::string_view(scratch, result.ptr - scratch),
               precision - exact);
}

void write_fixed(OutputText& out, double value, std::uint16_t width, std::uint16_t precision) {
  if (!fixed_point::write_fast(out, value, width, precision)) write_fixed_general(out, value, width, precision);
}

void write_unsigned(OutputText& out, std::uint64_t value, std::uint16_t width) {
  char scratch[20];
  auto result = std::to_chars(scratch, scratch + sizeof scratch, value);
  append_field(out, width, false, std::string_view(scratch, result.ptr - scratch), 0);
}

void write_padded(OutputText& out, std::string_view text, std::uint16_t width, Align align) {
  std::size_t characters = 0;
  for (unsigned char c : text) characters += (c & 0xC0) != 0x80;
  const std::size_t fill = width > characters ? width - characters : 0;
  if (align == Align::Right) out.append_fill(' ', fill);
  out.append(text);
  if (align == Align::Left) out.append_fill(' ', fill);
}

}  // namespace io_rs
