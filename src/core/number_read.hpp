// Number reading shared by every parser: one field in, one float64 out, or a
// refusal. The whole text must match the grammar; nothing is skipped.
//
//   [+-]? ( digits [. digits?] | . digits ) ( [eE] [+-]? digits )?
//   [+-]? ( inf | infinity | nan )            letters in any ASCII case
//
// The value is the float64 nearest to the exact decimal, ties to even, for any
// number of digits; too large gives infinity and too small gives zero. Exponent
// digits are taken while the exponent is below 65536; further ones are
// ignored. The sign applies to every result (-0, -inf and -nan included).
#pragma once

#include <expected>
#include <string_view>

#include "core/fields.hpp"
#include "core/short_decimal.hpp"

namespace io_rs {

enum class NumberError : unsigned char {
  Empty,    // the text is empty
  Invalid,  // anything else the grammar refuses
};

// The reason text that parsers put into their messages.
std::string_view number_error_reason(NumberError error) noexcept;

std::expected<double, NumberError> read_number(std::string_view text);

// The next field of a line read as a number, in one pass over its bytes for
// the common short decimals. text is empty when the line has no field left;
// otherwise it is the whole field (as the field splitter would give it) and
// value is what read_number gives for it.
struct NumberField {
  std::string_view text;
  std::expected<double, NumberError> value;
};
NumberField next_number_general(FieldSplitter& fields);  // the field, then the general reader

inline NumberField next_number(FieldSplitter& fields) {
  const char* start = fields.skip_separators();
  const char* line_end = fields.end();
  if (start == line_end) return {{}, std::unexpected(NumberError::Empty)};
  // A short decimal that ends where the field ends is the whole field.
  const auto number = short_decimal::read(start, fields.begin(), line_end, fields.readable());
  if (number && (number->end == line_end || is_separator(static_cast<unsigned char>(*number->end)))) {
    fields.consume(number->end);
    return {{start, static_cast<std::size_t>(number->end - start)}, number->value};
  }
  return next_number_general(fields);
}

// The same reader without its fast paths: every text goes through the full
// grammar scan and a correctly rounded conversion (exact for short decimals,
// fast_float for the rest). Tests hold read_number to it.
std::expected<double, NumberError> read_number_general(std::string_view text);

}  // namespace io_rs
