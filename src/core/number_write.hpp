// The writers every formatter spells its fields with. They append straight to
// the output text, keep no state and cannot fail (except for memory).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/fixed_point_fast.hpp"
#include "core/output_text.hpp"

namespace io_rs {

// value in fixed-point notation with exactly precision digits after the
// point, right-aligned in at least width characters, never cut. The digits
// are the exact binary value rounded half to even at the last kept place.
// NaN is "NaN" and never signed; the infinities are "inf" and "-inf"; a
// negative value, negative zero included, keeps its "-" even when it rounds
// to zero.
void write_fixed(OutputText& out, double value, std::uint16_t width, std::uint16_t precision);

// The same writer without its fast path: the digits always come from the
// standard library's exact fixed-point conversion. Tests hold write_fixed to it.
void write_fixed_general(OutputText& out, double value, std::uint16_t width, std::uint16_t precision);

// write_fixed with the width and precision known when compiling: the fast
// path is inlined into the caller with both folded in.
template <std::uint16_t Width, std::uint16_t Precision>
inline void write_fixed_field(OutputText& out, double value) {
  if (!fixed_point::write_fast(out, value, Width, Precision)) write_fixed_general(out, value, Width, Precision);
}

// value in decimal, right-aligned in at least width characters.
void write_unsigned(OutputText& out, std::uint64_t value, std::uint16_t width);

enum class Align : unsigned char { Left, Right };

// text filled with spaces to at least width characters, counted as code
// points; spaces go before the text for Right and after it for Left.
void write_padded(OutputText& out, std::string_view text, std::uint16_t width, Align align);

}  // namespace io_rs
