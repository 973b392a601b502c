#include "core/shortest_real.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/portable.hpp"

#define FMT_HEADER_ONLY
#include <fmt/format.h>

namespace io_rs {
namespace {

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::uint64_t kPowersOfTen[] = {1ull,
                                          10ull,
                                          100ull,
                                          1000ull,
                                          10000ull,
                                          100000ull,
                                          1000000ull,
                                          10000000ull,
                                          100000000ull,
                                          1000000000ull,
                                          10000000000ull,
                                          100000000000ull,
                                          1000000000000ull,
                                          10000000000000ull,
                                          100000000000000ull,
                                          1000000000000000ull,
                                          10000000000000000ull,
                                          100000000000000000ull,
                                          1000000000000000000ull,
                                          10000000000000000000ull};

// The decimal digits of v > 0: log10(2) is about 1233 / 4096, which gives
// the count or one less from the bit length.
int digit_count(std::uint64_t v) noexcept {
  const int guess = static_cast<int>((std::bit_width(v) * 1233) >> 12);
  return guess + (v >= kPowersOfTen[guess] ? 1 : 0);
}

// The eight decimal digits of v < 10^8, leading zeros included, as ASCII in
// one word, the first digit in the lowest byte. The halves, quarters and
// digits are split in every lane at once: lanes never carry into each other
// (9999 * 5243 < 2^32 and 99 * 103 < 2^16), and t * 5243 >> 19 is t / 100
// for t < 43699, u * 103 >> 10 is u / 10 for u < 179.
std::uint64_t eight_digits(std::uint32_t v) noexcept {
  std::uint64_t y = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
  const std::uint64_t hundreds = ((y * 5243) >> 19) & 0x0000007F0000007Full;
  y = hundreds | ((y - 100 * hundreds) << 16);
  const std::uint64_t tens = ((y * 103) >> 10) & 0x000F000F000F000Full;
  y = tens | ((y - 10 * tens) << 8);
  return y | 0x3030303030303030ull;
}

void store8(char* out, std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  std::memcpy(out, &word, 8);
}

// The n digits of a significand: the first, and the count = n - 1 others
// sixteen bytes from the lowest byte of low on. Kept in registers and
// written only by stores, never read back (a load of bytes just stored in
// pieces waits for every piece), and made without a branch on n: 16 and 17
// digits are equally common.
struct Digits {
  char first;
  int count;
  std::uint64_t low, high;

  // The others from the dropped-th on, sixteen bytes at out.
  IO_RS_ALWAYS_INLINE void store_others(char* out, int dropped = 0) const noexcept {
    const wide::U128 rest = wide::shift_right({high, low}, 8 * dropped);
    store8(out, rest.low);
    store8(out + 8, rest.high);
  }
};

IO_RS_ALWAYS_INLINE Digits digits_of(std::uint64_t significand, int n) noexcept {
  const std::uint64_t upper = significand / 100000000;
  // The last sixteen digits, leading zeros included, the first of them in
  // the lowest byte.
  const wide::U128 last16{eight_digits(static_cast<std::uint32_t>(significand % 100000000)),
                          eight_digits(static_cast<std::uint32_t>(upper % 100000000))};
  const int zeros = 17 - n;  // leading zeros of last16, and one more; 0 to 16
  const auto leading = static_cast<char>(wide::shift_right(last16, 8 * std::max(zeros - 1, 0)).low);
  const char first = n == 17 ? static_cast<char>('0' + upper / 100000000) : leading;
  const wide::U128 others = wide::shift_right(last16, 8 * std::min(zeros, 15));
  return {first, n - 1, others.low, others.high};
}

// The digits with no point; returns the end.
IO_RS_ALWAYS_INLINE char* put_digits(char* out, const Digits& d) noexcept {
  *out = d.first;
  d.store_others(out + 1);
  return out + 1 + d.count;
}

// The digits with a point after the first `point` of them (fewer than all).
IO_RS_ALWAYS_INLINE char* put_digits_with_point(char* out, const Digits& d, int point) noexcept {
  *out++ = d.first;
  --point;
  d.store_others(out);
  out[point] = '.';
  d.store_others(out + point + 1, point);
  return out + d.count + 1;
}

// The digits of a magnitude below 2^24 with at most eight decimals (what
// text written with %.6f or %g reads back as), found with a multiplication
// and a division where the general search takes longer: m / 10^8, m whole,
// that reads back as the magnitude. Below 2^24 numbers of eight decimals lie
// at least 10^-8 apart, more than the doubles there, so no other digits of
// eight decimals or fewer read back the same, nor fewer digits at all (they
// would have as few decimals): these are the shortest, their trailing zeros
// dropped.
struct Decimal {
  std::uint64_t significand;
  int exponent;  // the value is significand * 10^exponent
};

IO_RS_ALWAYS_INLINE bool few_decimals(double magnitude, Decimal& decimal) noexcept {
  if (!(magnitude < 16777216.0)) return false;
  auto m = static_cast<std::uint64_t>(magnitude * 1e8 + 0.5);  // below 2^51: exact as a double
  if (m == 0 || static_cast<double>(m) / 1e8 != magnitude) return false;
  int e = -8;
  // At most 15 trailing zeros (m < 2^51): dropped 8, 4, 2 and 1 at a time.
  if (m % 100000000 == 0) m /= 100000000, e += 8;
  if (m % 10000 == 0) m /= 10000, e += 4;
  if (m % 100 == 0) m /= 100, e += 2;
  if (m % 10 == 0) m /= 10, e += 1;
  decimal = {m, e};
  return true;
}

Decimal shortest_decimal(double magnitude) noexcept {
  Decimal decimal;
  if (few_decimals(magnitude, decimal)) return decimal;
  const auto found = fmt::detail::dragonbox::to_decimal(magnitude);
  return {found.significand, found.exponent};
}

}  // namespace

ShortestReal shortest_real(double value) noexcept {
  ShortestReal r;
  r.value = value;
  if (!std::isfinite(value) || value == 0.0) return r;
  const double magnitude = std::fabs(value);
  const Decimal decimal = shortest_decimal(magnitude);
  const std::uint64_t significand = decimal.significand;
  const int e = decimal.exponent;  // value = significand * 10^e
  const int n = digit_count(significand);
  const int point = n + e;  // digits before the decimal point in fixed notation

  // Lengths of the two notations, the sign left out.
  const int shown = point - 1;  // the exponent of scientific notation
  const int exponent_digits = std::abs(shown) >= 100 ? 3 : 2;
  const int scientific = n + (n > 1 ? 1 : 0) + 2 + exponent_digits;
  const int fixed = e >= 0 ? n + e : point > 0 ? n + 1 : 2 - point + n;

  // A whole number from 2^53 up, in fixed notation, is written with its
  // exact digits (as close as can be, at no more length), not the shortest
  // digits and zeros: those few go to std::to_chars.
  if (fixed <= scientific && e > 0 && magnitude >= 9007199254740992.0) return r;
  const Digits d = digits_of(significand, n);
  r.first = d.first;
  r.others = d.count;
  r.low = d.low;
  r.high = d.high;
  r.exponent = e;
  r.point = point;
  r.fixed = fixed <= scientific;
  r.fixed_length = fixed;
  r.laid_out = true;
  return r;
}

char* put_shortest_real(char* out, const ShortestReal& r) noexcept {
  if (!r.laid_out) return std::to_chars(out, out + kShortestRealRoom, r.value).ptr;
  if (std::signbit(r.value)) *out++ = '-';
  const Digits d{r.first, r.others, r.low, r.high};
  const int n = r.others + 1;
  if (r.fixed) {
    if (r.exponent >= 0) {
      out = put_digits(out, d);
      std::memcpy(out, "00000000", 8);  // the exponent is at most 5 here
      return out + r.exponent;
    }
    if (r.point > 0) return put_digits_with_point(out, d, r.point);
    std::memcpy(out, "0.000000", 8);  // -point <= 3 here
    put_digits(out + 2 - r.point, d);
    return out + r.fixed_length;
  }
  // d[.ddd]e±XX
  char* p = n > 1 ? put_digits_with_point(out, d, 1) : put_digits(out, d);
  const int shown = r.point - 1;
  *p++ = 'e';
  *p++ = shown < 0 ? '-' : '+';
  const int magnitude = std::abs(shown);
  if (magnitude >= 100) {
    *p++ = static_cast<char>('0' + magnitude / 100);
    std::memcpy(p, kPairs + 2 * (magnitude % 100), 2);
  } else {
    std::memcpy(p, kPairs + 2 * magnitude, 2);
  }
  return p + 2;
}

char* write_shortest_real(char* out, double value) noexcept { return put_shortest_real(out, shortest_real(value)); }

}  // namespace io_rs
