#include "core/shortest_real.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#define FMT_HEADER_ONLY
#include <fmt/format.h>

namespace io_rs {
namespace {

constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int digit_count(std::uint64_t v) noexcept {
  int n = 1;
  for (std::uint64_t ten = 10; n < 20 && v >= ten; ten *= 10) ++n;
  return n;
}

// The n decimal digits of v at out, two at a time from the end.
void put_digits(char* out, std::uint64_t v, int n) noexcept {
  char* p = out + n;
  while (v >= 100) {
    p -= 2;
    std::memcpy(p, kPairs + 2 * (v % 100), 2);
    v /= 100;
  }
  if (v >= 10) {
    p -= 2;
    std::memcpy(p, kPairs + 2 * v, 2);
  } else {
    *--p = static_cast<char>('0' + v);
  }
}

}  // namespace

char* write_shortest_real(char* out, double value) noexcept {
  if (!std::isfinite(value) || value == 0.0) return std::to_chars(out, out + kShortestRealRoom, value).ptr;
  const double magnitude_of_value = std::fabs(value);
  const auto decimal = fmt::detail::dragonbox::to_decimal(magnitude_of_value);
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
  if (fixed <= scientific && e > 0 && magnitude_of_value >= 9007199254740992.0) {
    return std::to_chars(out, out + kShortestRealRoom, value).ptr;
  }
  if (std::signbit(value)) *out++ = '-';
  if (fixed <= scientific) {
    if (e >= 0) {
      put_digits(out, significand, n);
      std::memset(out + n, '0', static_cast<std::size_t>(e));
      return out + n + e;
    }
    if (point > 0) {
      put_digits(out, significand, n);
      std::memmove(out + point + 1, out + point, static_cast<std::size_t>(n - point));
      out[point] = '.';
      return out + n + 1;
    }
    out[0] = '0';
    out[1] = '.';
    std::memset(out + 2, '0', static_cast<std::size_t>(-point));
    put_digits(out + 2 - point, significand, n);
    return out + fixed;
  }
  // d[.ddd]e±XX
  put_digits(out + 1, significand, n);
  out[0] = out[1];
  char* p = out + 1;
  if (n > 1) {
    *p = '.';
    p += n;
  }
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

}  // namespace io_rs
