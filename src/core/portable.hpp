// The one place for what standard C++ does not say: 128-bit products and
// shifts, forced inlining, and 16-byte vector compares. Each compiler extension stands beside a
// standard C++ fallback; defining IO_RS_PORTABLE_ARITHMETIC (the CMake option
// of the same name) makes every build take the fallbacks, as a compiler
// without them would, so that the tests exercise them too.
#pragma once

#include <array>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#define IO_RS_ALWAYS_INLINE __forceinline
#elif defined(__GNUC__) || defined(__clang__)
#define IO_RS_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define IO_RS_ALWAYS_INLINE inline
#endif

#if !defined(IO_RS_PORTABLE_ARITHMETIC) && defined(__SIZEOF_INT128__)
#define IO_RS_NATIVE_INT128 1
#elif !defined(IO_RS_PORTABLE_ARITHMETIC) && defined(_MSC_VER) && defined(_M_X64)
#define IO_RS_MSVC_UMUL128 1
#include <intrin.h>
#endif

namespace io_rs::wide {

// An unsigned 128-bit value as two halves.
struct U128 {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
};

#if IO_RS_NATIVE_INT128
__extension__ typedef unsigned __int128 Native;
inline Native to_native(U128 x) noexcept { return (static_cast<Native>(x.high) << 64) | x.low; }
inline U128 from_native(Native x) noexcept {
  return {static_cast<std::uint64_t>(x >> 64), static_cast<std::uint64_t>(x)};
}
#endif

// a * b, exactly.
inline U128 multiply(std::uint64_t a, std::uint64_t b) noexcept {
#if IO_RS_NATIVE_INT128
  return from_native(static_cast<Native>(a) * b);
#elif IO_RS_MSVC_UMUL128
  U128 product;
  product.low = _umul128(a, b, &product.high);
  return product;
#else
  // Schoolbook on 32-bit halves: no partial sum below can overflow 64 bits.
  const std::uint64_t a_low = a & 0xFFFFFFFF, a_high = a >> 32;
  const std::uint64_t b_low = b & 0xFFFFFFFF, b_high = b >> 32;
  const std::uint64_t low_low = a_low * b_low;
  const std::uint64_t high_low = a_high * b_low;
  const std::uint64_t low_high = a_low * b_high;
  const std::uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFF) + low_high;
  return {a_high * b_high + (high_low >> 32) + (middle >> 32), (middle << 32) | (low_low & 0xFFFFFFFF)};
#endif
}

// The high half of a * b.
inline std::uint64_t multiply_high(std::uint64_t a, std::uint64_t b) noexcept { return multiply(a, b).high; }

// x >> shift and x << shift, for 0 <= shift < 128.
inline U128 shift_right(U128 x, int shift) noexcept {
#if IO_RS_NATIVE_INT128
  return from_native(to_native(x) >> shift);
#else
  if (shift == 0) return x;
  if (shift >= 64) return {0, x.high >> (shift - 64)};
  return {x.high >> shift, (x.low >> shift) | (x.high << (64 - shift))};
#endif
}

inline U128 shift_left(U128 x, int shift) noexcept {
#if IO_RS_NATIVE_INT128
  return from_native(to_native(x) << shift);
#else
  if (shift == 0) return x;
  if (shift >= 64) return {x.low << (shift - 64), 0};
  return {(x.high << shift) | (x.low >> (64 - shift)), x.low << shift};
#endif
}

// x / 2^shift rounded to the nearest integer, ties to even, for
// 1 <= shift < 128 and x below 2^127; the result must fit 64 bits.
inline std::uint64_t shift_right_round_half_even(U128 x, int shift) noexcept {
#if IO_RS_NATIVE_INT128
  // Adding half a unit less one, plus one more when the truncated result is
  // odd, rounds half to even in the shift (x + half cannot reach 2^128).
  const Native n = to_native(x);
  const Native half = static_cast<Native>(1) << (shift - 1);
  const Native odd = (n >> shift) & 1;
  return static_cast<std::uint64_t>((n + (half - 1) + odd) >> shift);
#else
  const U128 truncated = shift_right(x, shift);
  // The dropped bits, compared with one half of the last kept unit.
  const U128 dropped = shift >= 64 ? U128{x.high & ((std::uint64_t{1} << (shift - 64)) - 1), x.low}
                                   : U128{0, x.low & ((std::uint64_t{1} << shift) - 1)};
  const U128 half = shift_left(U128{0, 1}, shift - 1);
  const bool above = dropped.high != half.high ? dropped.high > half.high : dropped.low > half.low;
  const bool tie = dropped.high == half.high && dropped.low == half.low;
  return truncated.low + ((above || (tie && (truncated.low & 1) != 0)) ? 1 : 0);
#endif
}

}  // namespace io_rs::wide

// SSE2 is part of every x86-64 processor: its 16-byte compares find the
// bytes a scanner looks for a block at a time.
#if !defined(IO_RS_PORTABLE_ARITHMETIC) && (defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64))
#define IO_RS_SSE2 1
#include <emmintrin.h>
#endif

namespace io_rs::bytes {

// Where a 64-byte block holds line ends and where it holds any of four
// marks: bit i of each mask stands for byte i.
struct BlockMarks {
  std::uint64_t line_ends = 0;
  std::uint64_t marks = 0;
  unsigned line_count = 0;  // the bits of line_ends
};

// The bits set in x, in standard C++ (std::popcount is a library call on
// processors without an instruction for it).
constexpr unsigned count_bits(std::uint64_t x) noexcept {
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
}

// The standard C++ form, byte by byte.
inline BlockMarks block_marks_standard(const char* p, const std::array<char, 4>& marks) noexcept {
  BlockMarks found;
  for (int i = 0; i < 64; ++i) {
    const char c = p[i];
    found.line_ends |= static_cast<std::uint64_t>(c == '\n') << i;
    found.marks |= static_cast<std::uint64_t>(c == marks[0] || c == marks[1] || c == marks[2] || c == marks[3]) << i;
  }
  found.line_count = count_bits(found.line_ends);
  return found;
}

// p[0] to p[63] must be readable.
IO_RS_ALWAYS_INLINE BlockMarks block_marks(const char* p, const std::array<char, 4>& marks) noexcept {
#if IO_RS_SSE2
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i m0 = _mm_set1_epi8(marks[0]), m1 = _mm_set1_epi8(marks[1]);
  const __m128i m2 = _mm_set1_epi8(marks[2]), m3 = _mm_set1_epi8(marks[3]);
  BlockMarks found;
  __m128i ends = _mm_setzero_si128();  // per byte lane: minus the line ends seen there
  for (int j = 0; j < 4; ++j) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, m0), _mm_cmpeq_epi8(v, m1)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, m2), _mm_cmpeq_epi8(v, m3)));
    const __m128i is_lf = _mm_cmpeq_epi8(v, lf);
    ends = _mm_sub_epi8(ends, is_lf);
    found.line_ends |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(is_lf))) << (16 * j);
    found.marks |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(any))) << (16 * j);
  }
  const __m128i sums = _mm_sad_epu8(ends, _mm_setzero_si128());
  found.line_count = static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  return found;
#else
  return block_marks_standard(p, marks);
#endif
}

}  // namespace io_rs::bytes
