// The shortest fields of all, read from two word loads: columns written
// with a printf format (%g, %.6f, %d) hold reals of a few digits and whole
// numbers, one after the other. A reader of such lines spends most of its
// time waiting for where a field ends before it can load the next one; here
// the end comes first, from the 16 bytes at the field in a few steps (the
// first byte at or below a space), and the value is worked out beside it,
// from the same two words.
//
// Each reader takes only the shapes it reads completely and returns nothing
// for any other text, which the general readers (read_number,
// std::from_chars) then decide; where it reads, it gives what they give
// (tests/cpp holds them equal).
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "core/portable.hpp"
#include "core/short_decimal.hpp"

namespace io_rs::short_field {

// Bytes from a field's first byte that are loaded.
inline constexpr std::ptrdiff_t kReadable = 16;

// The 16 bytes at a field, and how many of them come before the first byte
// at or below a space (a separator, a line end, a control byte): 16 when
// none does.
struct Window {
  std::uint64_t low, high;
  int length;

  // Byte k (below 16).
  unsigned char byte(int k) const noexcept {
    return static_cast<unsigned char>(k < 8 ? low >> (8 * k) : high >> (8 * (k - 8)));
  }
};

namespace detail {

inline constexpr std::uint64_t kHigh = 0x8080808080808080;

// The bytes of a word at or below a space: their high bits. With the high
// bits cleared, adding 0x5F sets it from 0x21 on and carries into no other
// byte; bytes from 0x80 are not.
inline std::uint64_t blanks(std::uint64_t word) noexcept {
  return ~(((word & ~kHigh) + 0x5F5F5F5F5F5F5F5F) | word) & kHigh;
}

// The bytes of a word that are not ASCII digits: their high bits.
inline std::uint64_t non_digits(std::uint64_t word) noexcept {
  const std::uint64_t d = word ^ short_decimal::kZeros;
  return (((d | kHigh) - 0x0A0A0A0A0A0A0A0A) | d) & kHigh;
}

// The first n bytes of a word (n from 0 to 8).
inline std::uint64_t first_bytes(int n) noexcept {
  return n >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
}

// The digits of a field: its two words with a leading '-' taken off (moved
// down a byte), and how many bytes they hold before the field's end.
struct Digits {
  std::uint64_t low, high;
  int length;
  bool negative;
};

IO_RS_ALWAYS_INLINE Digits digits_of(const Window& w) noexcept {
  const bool negative = (w.low & 0xFF) == '-';
  const std::uint64_t low = negative ? (w.low >> 8) | (w.high << 56) : w.low;
  const std::uint64_t high = negative ? w.high >> 8 : w.high;
  return {low, high, w.length - negative, negative};
}

// Eight bytes from byte start (1 to 8) of the two words.
inline std::uint64_t from(const Digits& d, int start) noexcept {
  return start == 8 ? d.high : (d.low >> (8 * start)) | (d.high << (64 - 8 * start));
}

}  // namespace detail

IO_RS_ALWAYS_INLINE Window window_at(const char* p) noexcept {
  const std::uint64_t low = short_decimal::load8(p), high = short_decimal::load8(p + 8);
  const std::uint64_t a = detail::blanks(low);
  if (a != 0) return {low, high, std::countr_zero(a) >> 3};
  const std::uint64_t b = detail::blanks(high);
  return {low, high, b != 0 ? 8 + (std::countr_zero(b) >> 3) : 16};
}

// The real that is exactly the window's first `length` bytes, when they are
// -? d* (. d*)? with 1 to 15 digits, at most 8 before the point: the value is
// m / 10^k with m below 10^15, both exact, so one division rounds correctly.
IO_RS_ALWAYS_INLINE std::optional<double> real(const Window& w) noexcept {
  const detail::Digits d = detail::digits_of(w);
  const std::uint64_t stops = detail::non_digits(d.low);
  const int whole = stops != 0 ? std::countr_zero(stops) >> 3 : 8;
  std::uint64_t m;
  int k = 0;
  if (whole == d.length) {
    if (whole == 0) return std::nullopt;
    m = short_decimal::digits_value(d.low, whole);
  } else {
    if (whole == 8 || static_cast<unsigned char>(d.low >> (8 * whole)) != '.') return std::nullopt;
    const int n = d.length - 1;  // the digits
    k = n - whole;
    if (n <= 8) {
      // The point taken out: the bytes above it moved down one, the first
      // byte of the high word coming in at the top.
      const std::uint64_t below = detail::first_bytes(whole);
      const std::uint64_t digits = (d.low & below) | ((d.low >> 8) & ~below) | (d.high << 56);
      if (n == 0 || (detail::non_digits(digits) & detail::first_bytes(n)) != 0) return std::nullopt;
      m = short_decimal::digits_value(digits, n);
    } else {
      if (k > 7) return std::nullopt;
      const std::uint64_t fraction = detail::from(d, whole + 1);
      if ((detail::non_digits(fraction) & detail::first_bytes(k)) != 0) return std::nullopt;
      m = short_decimal::digits_value(d.low, whole) * short_decimal::kPowersOfTenInteger[k] +
          short_decimal::digits_value(fraction, k);
    }
  }
  const double value = static_cast<double>(m) / short_decimal::kExactPowersOfTen[k];
  // The sign bit set without a branch: signs are random in such columns.
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value) | (static_cast<std::uint64_t>(d.negative) << 63);
  return std::bit_cast<double>(bits);
}

// The whole number that is exactly the window's first `length` bytes, when
// they are -? d{1,15}.
IO_RS_ALWAYS_INLINE std::optional<std::int64_t> integer(const Window& w) noexcept {
  const detail::Digits d = detail::digits_of(w);
  if (d.length == 0 || d.length > 15) return std::nullopt;
  std::uint64_t value;
  if (d.length <= 8) {
    if ((detail::non_digits(d.low) & detail::first_bytes(d.length)) != 0) return std::nullopt;
    value = short_decimal::digits_value(d.low, d.length);
  } else {
    const int more = d.length - 8;
    if ((detail::non_digits(d.low) | (detail::non_digits(d.high) & detail::first_bytes(more))) != 0) {
      return std::nullopt;
    }
    value = short_decimal::digits_value(d.low, 8) * short_decimal::kPowersOfTenInteger[more] +
            short_decimal::digits_value(d.high, more);
  }
  const auto magnitude = static_cast<std::int64_t>(value);
  return d.negative ? -magnitude : magnitude;
}

}  // namespace io_rs::short_field
