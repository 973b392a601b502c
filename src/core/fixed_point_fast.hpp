// The fast path of fixed-point writing, inline so that a formatter whose
// width and precision are constants gets a copy with both folded in. It
// covers every finite non-zero value below 2^64 with 1 to 19 decimals and
// must give exactly what the general path gives (tests/cpp holds it to that).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/output_text.hpp"
#include "core/portable.hpp"

namespace io_rs::fixed_point {

inline constexpr std::uint64_t kPowersOfTen[] = {
    1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull, 100000000ull,
    1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull, 10000000000000ull,
    100000000000000ull, 1000000000000000ull, 10000000000000000ull, 100000000000000000ull,
    1000000000000000000ull, 10000000000000000000ull};

inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline int decimal_length(std::uint64_t n) noexcept {
  int length = 1;
  while (length < 20 && n >= kPowersOfTen[length]) ++length;
  return length;
}

// The eight decimal digits of n (below 10^8) as ASCII, first digit in the
// lowest byte. The word is split in lanes that are divided in parallel: two
// 32-bit lanes of four digits, then four 16-bit lanes of two, then eight
// bytes of one (x * 10486 >> 20 is x / 100 below 10^4, x * 103 >> 10 is
// x / 10 below 100).
inline std::uint64_t eight_digits_ascii(std::uint32_t n) noexcept {
  std::uint64_t v = (n / 10000) | (static_cast<std::uint64_t>(n % 10000) << 32);
  const std::uint64_t hundreds = ((v * 10486) >> 20) & 0x0000007F0000007F;
  v = hundreds | ((v - hundreds * 100) << 16);
  const std::uint64_t tens = ((v * 103) >> 10) & 0x000F000F000F000F;
  v = tens | ((v - tens * 10) << 8);
  return v + 0x3030303030303030;
}

inline void store_word(char* p, std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  std::memcpy(p, &word, 8);
}

// Writes the count lowest decimal digits of n, zero-filled, ending at end.
inline void put_digits(char* end, std::uint64_t n, int count) noexcept {
  for (; count >= 8; count -= 8) {
    store_word(end -= 8, eight_digits_ascii(static_cast<std::uint32_t>(n % 100000000)));
    n /= 100000000;
  }
  if (count > 0) {
    char last[8];
    store_word(last, eight_digits_ascii(static_cast<std::uint32_t>(n % 100000000)));
    std::memcpy(end - count, last + 8 - count, static_cast<std::size_t>(count));
  }
}

// Fixed-point digits of |value| with 1 to 19 decimals, for every finite value
// below 2^64, in integer arithmetic: value = mantissa * 2^-shift exactly, the
// fraction part times 10^precision is an exact 128-bit product, and shifting
// it right with the dropped bits compared to one half rounds it half to even
// (the parity of the whole scaled number is that of its last decimal, since
// 10^precision is even). Returns false, writing nothing, outside that range.
IO_RS_ALWAYS_INLINE bool write_fast(OutputText& out, double value, std::uint16_t width,
                                     std::uint16_t precision) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased == 0x7FF || precision == 0 || precision > 19) return false;
  std::uint64_t mantissa = bits & ((1ull << 52) - 1);
  int shift = 1074;  // value = mantissa * 2^-shift
  if (biased != 0) {
    mantissa |= 1ull << 52;
    shift = 1075 - biased;
  }
  if (mantissa == 0) return false;  // zero has its own spelling

  std::uint64_t integer;
  std::uint64_t fraction = 0;  // the decimals, rounded
  if (shift <= 0) {
    if (shift < -11) return false;  // 2^64 or more
    integer = mantissa << -shift;
  } else {
    integer = shift >= 64 ? 0 : mantissa >> shift;
    const std::uint64_t fraction_bits = shift >= 64 ? mantissa : mantissa & ((1ull << shift) - 1);
    const wide::U128 scaled = wide::multiply(fraction_bits, kPowersOfTen[precision]);  // below 2^117
    if (shift < 128) fraction = wide::shift_right_round_half_even(scaled, shift);
    // else the product is below half a unit of the last place: rounds to 0
    if (fraction == kPowersOfTen[precision]) {
      fraction = 0;
      ++integer;  // cannot wrap: the integer part is below 2^53 here
    }
  }

  const bool negative = (bits >> 63) != 0;
  const int integer_length = integer < 10 ? 1 : integer < 100 ? 2 : decimal_length(integer);
  const std::size_t length = (negative ? 1 : 0) + integer_length + 1 + precision;
  const std::size_t fill = width > length ? width - length : 0;
  // Whole words are stored and may run up to 24 bytes past the field; the
  // room asked for covers them, and the next field overwrites them.
  constexpr std::size_t kSlack = 24;
  char* p = out.room(fill + length + kSlack);
  if (fill <= 24) {
    constexpr std::uint64_t kSpaces = 0x2020202020202020;
    std::memcpy(p, &kSpaces, 8);
    std::memcpy(p + 8, &kSpaces, 8);
    std::memcpy(p + 16, &kSpaces, 8);
  } else {
    std::memset(p, ' ', fill);
  }
  p += fill;
  *p = '-';
  p += negative ? 1 : 0;
  if (integer < 10) {
    *p++ = static_cast<char>('0' + integer);
  } else if (integer < 100) {
    std::memcpy(p, kDigitPairs + 2 * integer, 2);
    p += 2;
  } else {
    put_digits(p + integer_length, integer, integer_length);
    p += integer_length;
  }
  *p++ = '.';
  if (precision <= 8) {
    // Scaled to eight digits, the decimals are the first bytes of one word.
    store_word(p, eight_digits_ascii(static_cast<std::uint32_t>(fraction * kPowersOfTen[8 - precision])));
  } else if (precision <= 16) {
    const std::uint64_t sixteen = fraction * kPowersOfTen[16 - precision];
    const std::uint64_t high = sixteen / 100000000;
    store_word(p, eight_digits_ascii(static_cast<std::uint32_t>(high)));
    store_word(p + 8, eight_digits_ascii(static_cast<std::uint32_t>(sixteen - high * 100000000)));
  } else {
    put_digits(p + precision, fraction, precision);
  }
  out.commit(fill + length);
  return true;
}

}  // namespace io_rs::fixed_point
