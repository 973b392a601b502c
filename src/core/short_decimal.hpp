// The fast path of number reading: the common short decimals, [+-]? digits
// [. digits] with at most 19 digits in all and no exponent, read in one pass
// and converted exactly. Inline, so that a parser reads a field and its
// number without a call; tests/cpp holds it to the general reader.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/portable.hpp"

namespace io_rs::short_decimal {

inline constexpr double kExactPowersOfTen[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Eight ASCII digits at p, read as one little-endian word.
inline std::uint64_t load8(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}

// Up to eight bytes from p as one little-endian word, reading nothing
// outside [begin, end): past end the word holds zero bytes (not digits). A
// short tail is read as the last word of the text, shifted down.
inline std::uint64_t load_up_to_eight(const char* p, const char* begin, const char* end) noexcept {
  const std::ptrdiff_t available = end - p;
  if (available >= 8) return load8(p);
  if (available <= 0) return 0;
  if (end - begin >= 8) return load8(end - 8) >> (8 * (8 - available));
  char padded[8] = {};
  std::memcpy(padded, p, static_cast<std::size_t>(available));
  return load8(padded);
}

inline constexpr std::uint64_t kZeros = 0x3030303030303030;
inline constexpr std::uint64_t kHighBits = 0x8080808080808080;

// How many of the word's bytes, from the first, are ASCII digits (0 to 8).
// Each byte is judged on its own: with d the byte xor '0', a digit has d
// below 10, and (d | 0x80) - 10 cannot borrow from the next byte.
inline int leading_digits(std::uint64_t word) noexcept {
  const std::uint64_t d = word ^ kZeros;
  const std::uint64_t not_digit = (((d | kHighBits) - 0x0A0A0A0A0A0A0A0A) | d) & kHighBits;
  return not_digit == 0 ? 8 : std::countr_zero(not_digit) >> 3;
}

// The value of the first n (1 to 8) digits of the word: moved to the top
// bytes, the bytes below them act as leading zeros.
inline std::uint32_t digits_value(std::uint64_t word, int n) noexcept {
  std::uint64_t v = (word ^ kZeros) << (64 - 8 * n);
  v = v * 10 + (v >> 8);  // pairs of digits in every other byte
  v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
       (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
  return static_cast<std::uint32_t>(v);
}

inline constexpr std::uint64_t kPowersOfTenInteger[] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull};

// For k = 1..19: the bit length L of 5^k and R = ceil(2^(63 + L) / 5^k),
// which lies strictly between 2^63 and 2^64.
struct Reciprocal {
  std::uint64_t multiplier;
  int bits;
};

inline constexpr auto kReciprocals = [] {
  std::array<Reciprocal, 20> table{};
  std::uint64_t five = 1;  // 5^19 < 2^45
  for (int k = 1; k < 20; ++k) {
    five *= 5;
    const int bits = std::bit_width(five);
    // 2^(63 + bits) / 5^k by binary long division: the quotient stays below
    // 2^64 and the remainder below 5^k, so 64 bits hold both throughout.
    std::uint64_t quotient = 0;
    std::uint64_t remainder = 0;
    for (int bit = 63 + bits; bit >= 0; --bit) {
      remainder = 2 * remainder + (bit == 63 + bits ? 1 : 0);
      quotient = 2 * quotient + (remainder >= five ? 1 : 0);
      if (remainder >= five) remainder -= five;
    }
    table[k] = {quotient + (remainder != 0 ? 1 : 0), bits};
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
IO_RS_ALWAYS_INLINE std::optional<double> divide_by_power_of_ten(std::uint64_t m, int k) noexcept {
  const int shift = std::countl_zero(m);
  const Reciprocal r = kReciprocals[k];
  const std::uint64_t hi = wide::multiply_high(m << shift, r.multiplier);
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
// no exponent, read in one pass from p (below end; begin is the start of the
// line) up to the first byte that cannot belong to it. Bytes from p up to
// readable may be read: readable is end, or the end of a buffer in which the
// byte at end ends the line (a line feed). Returns where the number stopped
// and its value, or nothing when the text does not start with such a number.
struct ShortDecimal {
  const char* end;
  double value;
};

IO_RS_ALWAYS_INLINE std::optional<ShortDecimal> read(const char* p, const char* const begin, const char* const end,
                                                      const char* const readable) noexcept {
  // Signs are random in atom lines: taken without a branch.
  const bool negative = *p == '-';
  p += negative || *p == '+';
  // Eight bytes at q: whole where the buffer has them, else those of the
  // line and zero bytes. Either way no digit or point follows end in them.
  auto word_at = [&](const char* q) noexcept {
    return readable - q >= 8 ? load8(q) : load_up_to_eight(q, begin, end);
  };
  // The whole part, a digit at a time: it is short (a word would cost more).
  std::uint64_t m = 0;
  const char* q = p;
  while (q != end && is_digit(*q)) m = m * 10 + static_cast<unsigned>(*q++ - '0');
  const unsigned char next = q != end ? static_cast<unsigned char>(*q) : 0;
  int k = 0;
  if (next == '.') {
    // The fraction a word at a time.
    ++q;
    std::uint64_t word = word_at(q);
    int n = leading_digits(word);
    if (n > 0) {
      m = m * kPowersOfTenInteger[n] + digits_value(word, n);
      q += n;
      k = n;
    }
    // More than eight decimals: the next word, then a digit at a time (m
    // may wrap; the count of digits refuses it below).
    if (n == 8 && q != end && is_digit(*q)) {
      word = word_at(q);
      n = leading_digits(word);
      if (n > 0) {
        m = m * kPowersOfTenInteger[n] + digits_value(word, n);
        q += n;
        k += n;
      }
      if (n == 8) [[unlikely]] {
        while (q != end && is_digit(*q) && k < 20) {
          m = m * 10 + static_cast<unsigned>(*q++ - '0');
          ++k;
        }
      }
    }
  }
  const std::ptrdiff_t digits = (q - p) - (next == '.' ? 1 : 0);
  if (digits == 0 || digits > 19) return std::nullopt;  // also when m may have wrapped

  double value;
  if (m <= (1ull << 53)) {
    // Mantissa and power of ten both exact: one IEEE division rounds correctly.
    value = static_cast<double>(m) / kExactPowersOfTen[k];
  } else if (k == 0) {
    value = static_cast<double>(m);  // one correctly rounded conversion
  } else if (auto divided = divide_by_power_of_ten(m, k)) {
    value = *divided;
  } else {
    return std::nullopt;
  }
  // The sign bit set without a branch: signs in atom lines are random.
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value) | (static_cast<std::uint64_t>(negative) << 63);
  return ShortDecimal{q, std::bit_cast<double>(bits)};
}

// The same for a text whose bytes past end may not be read.
IO_RS_ALWAYS_INLINE std::optional<ShortDecimal> read(const char* p, const char* const begin,
                                                      const char* const end) noexcept {
  return read(p, begin, end, end);
}

}  // namespace io_rs::short_decimal
