// The shortest fields of all: columns written with a printf format (%g,
// %.6f, %d) hold reals of a few digits and whole numbers, one after the
// other. The 16 bytes at a field are classified at once (bytes16::masks):
// where the field ends is the first byte at or below a space, and within it
// the bytes that are not digits are the sign and the point, or the field is
// not one of these shapes. A reader of the next field waits only for the
// end; the digits are read beside, with two word loads and one
// multiplication chain.
//
// Each reader takes only the shapes it reads completely and returns nothing
// for any other text, which the general readers (read_number,
// std::from_chars) then decide; where it reads, it gives what they give
// (tests/cpp holds them equal).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

#include "core/portable.hpp"
#include "core/short_decimal.hpp"

namespace io_rs::short_field {

// Bytes from a field's first byte that may be loaded: the 16 classified,
// and a word from any of them.
inline constexpr std::ptrdiff_t kReadable = 24;

// A field's place among the 16 bytes at it: how many come before the first
// that ends it (16 when none does), and which are not digits.
struct Span {
  int length;
  std::uint32_t non_digits;
};

IO_RS_ALWAYS_INLINE Span span_at(const char* p) noexcept {
  const bytes16::Masks masks = bytes16::masks(p);
  return {std::countr_zero(masks.ends | 0x10000u), masks.non_digits};
}

namespace detail {

// Shifts by a number of bytes known only when running are a few steps each
// on x86 without BMI2; a multiplication by a power of 256, or a mask from a
// table, is one. first_bytes[n]: the first n bytes of a word; ahead[n]:
// 256^(8 - n), which moves n bytes to the top of a word; behind[n]: 256^n.
inline constexpr auto kFirstBytes = [] {
  std::array<std::uint64_t, 9> table{};
  for (int n = 0; n < 8; ++n) table[n] = (std::uint64_t{1} << (8 * n)) - 1;
  table[8] = ~std::uint64_t{0};
  return table;
}();
inline constexpr auto kAhead = [] {
  std::array<std::uint64_t, 9> table{};
  for (int n = 1; n <= 8; ++n) table[n] = std::uint64_t{1} << (64 - 8 * n);
  return table;
}();
inline constexpr auto kBehind = [] {
  std::array<std::uint64_t, 9> table{};  // [8]: nothing is left
  for (int n = 0; n < 8; ++n) table[n] = std::uint64_t{1} << (8 * n);
  return table;
}();
// The first n bits of the 16 masks' bits.
inline constexpr auto kFirstBits = [] {
  std::array<std::uint32_t, 17> table{};
  for (int n = 0; n <= 16; ++n) table[n] = (std::uint32_t{1} << n) - 1;
  return table;
}();

// short_decimal::digits_value with the digits moved up by a multiplication:
// the value of the first n (1 to 8) digits of the word.
inline std::uint64_t digits_value(std::uint64_t word, int n) noexcept {
  std::uint64_t v = (word ^ short_decimal::kZeros) * kAhead[n];
  v = v * 10 + (v >> 8);  // pairs of digits in every other byte
  v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
       (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
  return static_cast<std::uint32_t>(v);
}

// The value of n digits (1 to 15) from p.
inline std::uint64_t digits_from(const char* p, int n) noexcept {
  if (n <= 8) return digits_value(short_decimal::load8(p), n);
  return digits_value(short_decimal::load8(p), 8) * short_decimal::kPowersOfTenInteger[n - 8] +
         digits_value(short_decimal::load8(p + 8), n - 8);
}

}  // namespace detail

// The real that is the field at p, when it is -? d* (. d*)? with 1 to 15
// digits, at most 8 on either side of the point: the value is m / 10^k
// with m below 10^15, both exact, so one division rounds correctly.
// Written to `out` only where it reads, so that a reader can hand it a
// row's element straight, with no value held aside.
IO_RS_ALWAYS_INLINE bool real_to(const char* p, const Span& s, double& out) noexcept {
  const bool negative = *p == '-';
  const int sign = negative;
  // The bytes that are not digits, the sign aside: none, or the point.
  const std::uint32_t others = s.non_digits & detail::kFirstBits[s.length] & ~static_cast<std::uint32_t>(sign);
  std::uint64_t m;
  int k = 0;
  if (others == 0) {
    const int n = s.length - sign;
    if (n == 0 || n > 15) return false;
    m = detail::digits_from(p + sign, n);
  } else {
    const int point = std::countr_zero(others);
    if ((others & (others - 1)) != 0 || p[point] != '.') return false;
    const int whole = point - sign;
    k = s.length - point - 1;
    if (whole + k == 0 || whole > 8 || k > 8) return false;
    const std::uint64_t before = short_decimal::load8(p + sign), after = short_decimal::load8(p + point + 1);
    if (whole + k <= 8) {
      // The digits before the point and those after it side by side in one
      // word, read at once.
      m = detail::digits_value((before & detail::kFirstBytes[whole]) | (after * detail::kBehind[whole]), whole + k);
    } else {
      m = detail::digits_value(before, whole) * short_decimal::kPowersOfTenInteger[k] + detail::digits_value(after, k);
    }
  }
  // m is below 10^15: as a signed number it converts in one step.
  const double value = static_cast<double>(static_cast<std::int64_t>(m)) / short_decimal::kExactPowersOfTen[k];
  // The sign bit set without a branch: signs are random in such columns.
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value) | (static_cast<std::uint64_t>(negative) << 63);
  out = std::bit_cast<double>(bits);
  return true;
}

IO_RS_ALWAYS_INLINE std::optional<double> real(const char* p, const Span& s) noexcept {
  double value;
  if (!real_to(p, s, value)) return std::nullopt;
  return value;
}

// The whole number that is the field at p, when it is -? d{1,15}; written
// to `out` where it reads, as real_to.
IO_RS_ALWAYS_INLINE bool integer_to(const char* p, const Span& s, std::int64_t& out) noexcept {
  const bool negative = *p == '-';
  const int sign = negative;
  const int n = s.length - sign;
  if ((s.non_digits & detail::kFirstBits[s.length] & ~static_cast<std::uint32_t>(sign)) != 0 || n == 0 || n > 15) {
    return false;
  }
  const auto magnitude = static_cast<std::int64_t>(detail::digits_from(p + sign, n));
  out = negative ? -magnitude : magnitude;
  return true;
}

IO_RS_ALWAYS_INLINE std::optional<std::int64_t> integer(const char* p, const Span& s) noexcept {
  std::int64_t value;
  if (!integer_to(p, s, value)) return std::nullopt;
  return value;
}

}  // namespace io_rs::short_field
