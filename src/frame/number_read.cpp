#include "frame/number_read.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>
#include <limits>
#include <string>
#include <system_error>

namespace io_rs {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr double kExactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Whether [p, end) spells word (given in lower case), ignoring ASCII case.
bool equals_ignoring_case(const char* p, const char* end, std::string_view word) noexcept {
  if (static_cast<std::size_t>(end - p) != word.size()) return false;
  for (char w : word) {
    char c = *p++;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != w) return false;
  }
  return true;
}

// What the scan of a decimal number (after its sign) learned about it.
struct Decimal {
  const char* begin = nullptr;        // first digit or point
  const char* digits_end = nullptr;   // end of the digits and point
  const char* text_end = nullptr;     // end of the whole text, exponent included
  std::uint64_t mantissa = 0;         // the first 19 significant digits
  std::int64_t scale = 0;             // power of ten that scales mantissa, written exponent aside
  std::int64_t exponent = 0;          // the written exponent, as the grammar reads it
  std::int64_t leading = 0;           // power of ten of the first non-zero digit, written exponent aside
  bool nonzero = false;               // some digit is not 0
  bool inexact = false;               // a non-zero digit lies beyond the first 19
  bool exponent_cut = false;          // exponent digits after it reached 65536 were ignored
};

// The correctly rounded value of a decimal the fast path cannot take, from
// the standard library's correctly rounded reader.
double read_slow(const Decimal& d) {
  const char* first = d.begin;
  const char* last = d.text_end;
  std::string rewritten;
  if (d.exponent_cut) {
    // Spell the exponent as the grammar reads it, so that the general reader
    // ignores the same digits.
    rewritten.assign(d.begin, d.digits_end);
    rewritten += 'e';
    rewritten += std::to_string(d.exponent);
    first = rewritten.data();
    last = first + rewritten.size();
  }
  double value = 0.0;
  auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Overflow to infinity or underflow to zero: the magnitude of the first
    // non-zero digit tells which.
    return d.leading + d.exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

}  // namespace

std::string_view number_error_reason(NumberError error) noexcept {
  return error == NumberError::Empty ? "cannot parse float from empty string"
                                     : "invalid float literal";
}

std::expected<double, NumberError> read_number_general(std::string_view text) {
  if (text.empty()) return std::unexpected(NumberError::Empty);
  const char* p = text.data();
  const char* const end = p + text.size();

  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }

  Decimal d;
  d.begin = p;
  d.text_end = end;
  int significant = 0;
  auto take_digit = [&](char c, bool fraction) {
    unsigned digit = static_cast<unsigned>(c - '0');
    if (!d.nonzero) {
      if (digit == 0) {
        if (fraction) {
          --d.leading;
          --d.scale;
        }
        return;
      }
      d.nonzero = true;
    }
    if (significant < 19) {
      d.mantissa = d.mantissa * 10 + digit;
      ++significant;
      if (fraction) --d.scale;
    } else {
      d.inexact |= digit != 0;
      if (!fraction) ++d.scale;
    }
  };

  const char* int_begin = p;
  while (p != end && is_digit(*p)) take_digit(*p++, false);
  const std::int64_t int_digits = p - int_begin;
  std::int64_t frac_digits = 0;
  if (p != end && *p == '.') {
    ++p;
    const char* frac_begin = p;
    while (p != end && is_digit(*p)) take_digit(*p++, true);
    frac_digits = p - frac_begin;
  }

  if (int_digits + frac_digits == 0) {
    // No digit at all: only a special word can remain, and only as the whole rest.
    double special;
    if (equals_ignoring_case(d.begin, end, "inf") || equals_ignoring_case(d.begin, end, "infinity"))
      special = std::numeric_limits<double>::infinity();
    else if (equals_ignoring_case(d.begin, end, "nan"))
      special = std::numeric_limits<double>::quiet_NaN();
    else
      return std::unexpected(NumberError::Invalid);
    return negative ? -special : special;
  }
  d.digits_end = p;

  if (d.nonzero) {
    std::int64_t int_zeros = 0;
    while (int_zeros < int_digits && int_begin[int_zeros] == '0') ++int_zeros;
    if (int_zeros < int_digits)
      d.leading = int_digits - int_zeros - 1;
    else
      d.leading -= 1;  // leading already counts the fraction's zeros before the first digit
  }

  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    const char* exponent_begin = p;
    std::int64_t exponent = 0;
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < 65536)
        exponent = exponent * 10 + (*p - '0');
      else
        d.exponent_cut = true;
    }
    if (p == exponent_begin) return std::unexpected(NumberError::Invalid);
    d.exponent = exponent_negative ? -exponent : exponent;
  }
  if (p != end) return std::unexpected(NumberError::Invalid);

  double value = 0.0;
  if (d.nonzero) {
    const std::int64_t power = d.scale + d.exponent;
    if (!d.inexact && d.mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
      // Mantissa and power of ten are both exact doubles, so a single IEEE
      // operation gives the correctly rounded result.
      const double m = static_cast<double>(d.mantissa);
      value = power < 0 ? m / kExactPowersOfTen[-power] : m * kExactPowersOfTen[power];
    } else {
      value = read_slow(d);
    }
  }
  return negative ? -value : value;
}

namespace {

// Eight ASCII digits at p, read as one little-endian word.
std::uint64_t load8(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

bool is_eight_digits(std::uint64_t word) noexcept {
  return (((word & 0xF0F0F0F0F0F0F0F0) | (((word + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) >> 4)) ==
          0x3333333333333333);
}

// The value of eight ASCII digits, first digit most significant.
std::uint32_t eight_digits_value(std::uint64_t word) noexcept {
  word -= 0x3030303030303030;
  word = word * 10 + (word >> 8);  // pairs of digits in every other byte
  word = (((word & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
          (((word >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
  return static_cast<std::uint32_t>(word);
}

__extension__ typedef unsigned __int128 u128;  // GCC and Clang

// For k = 1..19: the bit length L of 5^k and R = ceil(2^(63 + L) / 5^k),
// which lies strictly between 2^63 and 2^64.
struct Reciprocal {
  std::uint64_t multiplier;
  int bits;
};

constexpr auto kReciprocals = [] {
  std::array<Reciprocal, 20> table{};
  std::uint64_t five = 1;  // 5^19 < 2^45
  for (int k = 1; k < 20; ++k) {
    five *= 5;
    const int bits = std::bit_width(five);
    const u128 numerator = static_cast<u128>(1) << (63 + bits);
    table[k] = {static_cast<std::uint64_t>(numerator / five + (numerator % five != 0)), bits};
  }
  return table;
}();
static_assert(kReciprocals[1].multiplier == 0xCCCCCCCCCCCCCCCD && kReciprocals[1].bits == 3);

// m / 10^k, correctly rounded, for 0 < m < 2^64 and 1 <= k <= 19, with one
// 128-bit product: with m shifted to fill 64 bits and X the exact
// m * 2^(63 + L) / 5^k, the product P = m * R satisfies X <= P < X + 2^64,
// so X / 2^64 lies strictly within one unit of hi = P / 2^64 (truncated).
// Rounding hi to 53 bits is then exact unless the dropped bits of hi are
// exactly one half, the only pattern such an interval can straddle a
// midpoint from; that case (about one in a thousand) is left to the caller.
std::optional<double> divide_by_power_of_ten(std::uint64_t m, int k) noexcept {
  const int shift = std::countl_zero(m);
  const Reciprocal r = kReciprocals[k];
  const auto hi = static_cast<std::uint64_t>((static_cast<u128>(m << shift) * r.multiplier) >> 64);
  const int cut = 10 + static_cast<int>(hi >> 63);  // hi has 63 or 64 significant bits
  const std::uint64_t dropped = hi & ((1ull << cut) - 1);
  const std::uint64_t half = 1ull << (cut - 1);
  if (dropped == half) return std::nullopt;
  std::uint64_t mantissa = (hi >> cut) + (dropped > half ? 1 : 0);
  int exponent = cut + 1 - r.bits - shift - k;  // of the mantissa's last bit
  if (mantissa == (1ull << 53)) {
    mantissa >>= 1;
    ++exponent;
  }
  return std::bit_cast<double>((static_cast<std::uint64_t>(exponent + 1075) << 52) |
                               (mantissa & ((1ull << 52) - 1)));
}

// The common shape, [+-]? digits [. digits] with at most 19 digits in all and
// no exponent, read in one pass from p up to the first byte that cannot
// belong to it. Returns where the number stopped (end is set) and its value,
// or nothing when the text does not start with such a number.
struct ShortDecimal {
  const char* end;
  double value;
};

std::optional<ShortDecimal> read_short_decimal(const char* p, const char* const end) noexcept {
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  std::uint64_t m = 0;
  const char* const int_begin = p;
  while (p != end && is_digit(*p)) m = m * 10 + static_cast<unsigned>(*p++ - '0');
  std::ptrdiff_t digits = p - int_begin;
  int k = 0;
  if (p != end && *p == '.') {
    ++p;
    const char* const frac_begin = p;
    while (end - p >= 8 && is_eight_digits(load8(p)) && p - frac_begin <= 11) {
      m = m * 100000000 + eight_digits_value(load8(p));
      p += 8;
    }
    while (p != end && is_digit(*p) && p - frac_begin < 20) m = m * 10 + static_cast<unsigned>(*p++ - '0');
    k = static_cast<int>(p - frac_begin);
    digits += k;
  }
  if (digits == 0 || digits > 19) return std::nullopt;  // also when m may have wrapped

  double value;
  if (m == 0) {
    value = 0.0;
  } else if (k == 0) {
    value = static_cast<double>(m);  // one correctly rounded conversion
  } else if (auto divided = divide_by_power_of_ten(m, k)) {
    value = *divided;
  } else if (m <= (1ull << 53)) {
    // Mantissa and power of ten both exact: one IEEE division rounds correctly.
    value = static_cast<double>(m) / kExactPowersOfTen[k];
  } else {
    return std::nullopt;
  }
  return ShortDecimal{p, negative ? -value : value};
}

}  // namespace

std::expected<double, NumberError> read_number(std::string_view text) {
  const char* end = text.data() + text.size();
  if (auto number = read_short_decimal(text.data(), end); number && number->end == end) return number->value;
  return read_number_general(text);
}

NumberField next_number(FieldSplitter& fields) {
  const char* start = fields.skip_separators();
  const char* line_end = fields.end();
  if (start == line_end) return {{}, std::unexpected(NumberError::Empty)};
  // A short decimal that ends where the field ends is the whole field.
  auto number = read_short_decimal(start, line_end);
  if (number && (number->end == line_end || is_separator(static_cast<unsigned char>(*number->end)))) {
    fields.consume(number->end);
    return {{start, static_cast<std::size_t>(number->end - start)}, number->value};
  }
  const std::string_view field = fields.next();
  return {field, read_number_general(field)};
}

}  // namespace io_rs
