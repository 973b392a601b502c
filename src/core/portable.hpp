// The one place for what standard C++ does not say: 128-bit products and
// shifts, forced inlining, the pause of a spin loop and sixteen bytes compared
// at once. Each compiler extension stands beside a standard C++ fallback;
// defining IO_RS_PORTABLE_ARITHMETIC (the CMake option
// of the same name) makes every build take the fallbacks, as a compiler
// without them would, so that the tests exercise them too.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#define IO_RS_ALWAYS_INLINE __forceinline
#elif defined(__GNUC__) || defined(__clang__)
#define IO_RS_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define IO_RS_ALWAYS_INLINE inline
#endif

// A hint inside a spin loop that the thread waits: it lets the other
// hardware thread of the core run, and costs a few nanoseconds of waiting.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define IO_RS_SPIN_PAUSE() __builtin_ia32_pause()
#elif (defined(__GNUC__) || defined(__clang__)) && defined(__aarch64__)
#define IO_RS_SPIN_PAUSE() __asm__ __volatile__("yield")
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#define IO_RS_SPIN_PAUSE() _mm_pause()
#else
#define IO_RS_SPIN_PAUSE() ((void)0)
#endif

// A hint that the cache line at p will be written soon: fetched ahead,
// where a store to it would otherwise wait for memory.
#if defined(__GNUC__) || defined(__clang__)
#define IO_RS_PREFETCH_WRITE(p) __builtin_prefetch((p), 1, 3)
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#define IO_RS_PREFETCH_WRITE(p) _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0)
#else
#define IO_RS_PREFETCH_WRITE(p) ((void)(p))
#endif

#if !defined(IO_RS_PORTABLE_ARITHMETIC) && (defined(__SSE2__) || defined(_M_X64))
#define IO_RS_SSE2 1
#include <emmintrin.h>
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

// Sixteen bytes classified at once: SSE2 compares where the target has them
// (every x86-64), the same on 64-bit words elsewhere (and with
// IO_RS_PORTABLE_ARITHMETIC).
#if !IO_RS_SSE2
#include <cstring>
#endif

namespace io_rs::bytes16 {

// Bit k stands for byte k of the 16 at p.
struct Masks {
  std::uint32_t ends;        // at or below a space, or above 0x7F: where a field of ASCII text ends
  std::uint32_t non_digits;  // not an ASCII digit
};

#if !IO_RS_SSE2
// The high bits of a word's bytes as the low 8 bits, byte k to bit k: each
// lands at its own place in the product, so nothing carries.
inline std::uint32_t packed(std::uint64_t high_bits) noexcept {
  return static_cast<std::uint32_t>(((high_bits >> 7) * 0x0102040810204080) >> 56);
}

inline std::uint64_t word_at(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
  return word;
}
#endif

inline Masks masks(const char* p) noexcept {
#if IO_RS_SSE2
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Signed compares: the bytes from 0x80 are below zero, so they end fields.
  const __m128i ends = _mm_cmpgt_epi8(_mm_set1_epi8(0x21), x);
  // Adding 0x50 moves '0'..'9', and nothing else, to the lowest ten bytes.
  const __m128i digit = _mm_cmpgt_epi8(_mm_set1_epi8(-118), _mm_add_epi8(x, _mm_set1_epi8(0x50)));
  return {static_cast<std::uint32_t>(_mm_movemask_epi8(ends)),
          ~static_cast<std::uint32_t>(_mm_movemask_epi8(digit)) & 0xFFFF};
#else
  constexpr std::uint64_t kHigh = 0x8080808080808080;
  auto classify = [](std::uint64_t word, std::uint32_t& ends, std::uint32_t& non_digits) {
    // With the high bits cleared, adding 0x5F sets a byte's from 0x21 on,
    // and no byte carries into the next; bytes from 0x80 end fields too.
    ends = packed((~((word & ~kHigh) + 0x5F5F5F5F5F5F5F5F) | word) & kHigh);
    const std::uint64_t d = word ^ 0x3030303030303030;
    non_digits = packed((((d | kHigh) - 0x0A0A0A0A0A0A0A0A) | d) & kHigh);
  };
  std::uint32_t low_ends, low_digits, high_ends, high_digits;
  classify(word_at(p), low_ends, low_digits);
  classify(word_at(p + 8), high_ends, high_digits);
  return {low_ends | (high_ends << 8), low_digits | (high_digits << 8)};
#endif
}

}  // namespace io_rs::bytes16
namespace io_rs::bytes {

// Bytes that end a run of XML character data, or need a look: '<' (markup),
// '&' (a reference), ']' (the start of a forbidden "]]>"), and the control
// characters XML does not allow (NUL included: a file system's damage).
// Tab, LF and CR are ordinary text.
inline constexpr bool is_xml_text_stop(unsigned char c) noexcept {
  return c == '<' || c == '&' || c == ']' || (c < 0x20 && c != '\t' && c != '\n' && c != '\r');
}

// Bit i set where p[i] is such a byte, for the 16 bytes at p; with high,
// bytes of 0x80 and above too. SSE2 (every x86-64 processor) compares the 16
// at once; the fallback looks at one byte at a time.
inline unsigned xml_text_stops16(const char* p, bool high) noexcept {
#if IO_RS_SSE2
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i markup = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('<')),
                                                   _mm_cmpeq_epi8(v, _mm_set1_epi8('&'))),
                                      _mm_cmpeq_epi8(v, _mm_set1_epi8(']')));
  // Signed bytes: 0 to 0x1F are the control characters, 0x80 and above negative.
  const __m128i control = _mm_and_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
                                        _mm_cmpgt_epi8(v, _mm_set1_epi8(-1)));
  const __m128i text = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))),
                                    _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
  const __m128i stops = _mm_or_si128(markup, _mm_andnot_si128(text, control));
  unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops));
  if (high) mask |= static_cast<unsigned>(_mm_movemask_epi8(v));
  return mask;
#else
  unsigned mask = 0;
  for (unsigned i = 0; i < 16; ++i) {
    const auto c = static_cast<unsigned char>(p[i]);
    if (is_xml_text_stop(c) || (high && c >= 0x80)) mask |= 1u << i;
  }
  return mask;
#endif
}

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
