#include "core/number_read.hpp"

#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

#include "fast_float/fast_float.h"

namespace io_rs {
namespace {

using short_decimal::is_digit;

// Whether [p, end) spells word (given in lower case), ignoring ASCII case.
bool equals_ignoring_case(const char* p, const char* end, std::string_view word) noexcept {
  if (static_cast<std::size_t>(end - p) != word.size()) return false;
  for (char w : word) {
    char c = *p++;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != w) return false;
  }
  return true;
}

// What the scan of a decimal number (after its sign) learned about it.
struct Decimal {
  const char* begin = nullptr;        // first digit or point
  const char* digits_end = nullptr;   // end of the digits and point
  const char* text_end = nullptr;     // end of the whole text, exponent included
  std::uint64_t mantissa = 0;         // the first 19 significant digits
  std::int64_t scale = 0;             // power of ten that scales mantissa, written exponent aside
  std::int64_t exponent = 0;          // the written exponent, as the grammar reads it
  std::int64_t leading = 0;           // power of ten of the first non-zero digit, written exponent aside
  bool nonzero = false;               // some digit is not 0
  bool inexact = false;               // a non-zero digit lies beyond the first 19
  bool exponent_cut = false;          // exponent digits after it reached 65536 were ignored
};

// The correctly rounded value of a decimal the fast path cannot take, from
// fast_float (any number of digits, ties to even). The text is plain decimal
// by now: no sign, no special word.
double read_slow(const Decimal& d) {
  const char* first = d.begin;
  const char* last = d.text_end;
  std::string rewritten;
  if (d.exponent_cut) {
    // Spell the exponent as the grammar reads it, so that the general reader
    // ignores the same digits.
    rewritten.assign(d.begin, d.digits_end);
    rewritten += 'e';
    rewritten += std::to_string(d.exponent);
    first = rewritten.data();
    last = first + rewritten.size();
  }
  double value = 0.0;
  auto result = fast_float::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) {
    // Releases of fast_float after 3.9 report overflow and underflow: the
    // magnitude of the first non-zero digit tells infinity from zero.
    return d.leading + d.exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

}  // namespace

std::string_view number_error_reason(NumberError error) noexcept {
  return error == NumberError::Empty ? "cannot parse float from empty string"
                                     : "invalid float literal";
}

std::expected<double, NumberError> read_number_general(std::string_view text) {
  if (text.empty()) return std::unexpected(NumberError::Empty);
  const char* p = text.data();
  const char* const end = p + text.size();

  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }

  Decimal d;
  d.begin = p;
  d.text_end = end;
  int significant = 0;
  auto take_digit = [&](char c, bool fraction) {
    unsigned digit = static_cast<unsigned>(c - '0');
    if (!d.nonzero) {
      if (digit == 0) {
        if (fraction) {
          --d.leading;
          --d.scale;
        }
        return;
      }
      d.nonzero = true;
    }
    if (significant < 19) {
      d.mantissa = d.mantissa * 10 + digit;
      ++significant;
      if (fraction) --d.scale;
    } else {
      d.inexact |= digit != 0;
      if (!fraction) ++d.scale;
    }
  };

  const char* int_begin = p;
  while (p != end && is_digit(*p)) take_digit(*p++, false);
  const std::int64_t int_digits = p - int_begin;
  std::int64_t frac_digits = 0;
  if (p != end && *p == '.') {
    ++p;
    const char* frac_begin = p;
    while (p != end && is_digit(*p)) take_digit(*p++, true);
    frac_digits = p - frac_begin;
  }

  if (int_digits + frac_digits == 0) {
    // No digit at all: only a special word can remain, and only as the whole rest.
    double special;
    if (equals_ignoring_case(d.begin, end, "inf") || equals_ignoring_case(d.begin, end, "infinity"))
      special = std::numeric_limits<double>::infinity();
    else if (equals_ignoring_case(d.begin, end, "nan"))
      special = std::numeric_limits<double>::quiet_NaN();
    else
      return std::unexpected(NumberError::Invalid);
    return negative ? -special : special;
  }
  d.digits_end = p;

  if (d.nonzero) {
    std::int64_t int_zeros = 0;
    while (int_zeros < int_digits && int_begin[int_zeros] == '0') ++int_zeros;
    if (int_zeros < int_digits)
      d.leading = int_digits - int_zeros - 1;
    else
      d.leading -= 1;  // leading already counts the fraction's zeros before the first digit
  }

  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool exponent_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exponent_negative = *p == '-';
      ++p;
    }
    const char* exponent_begin = p;
    std::int64_t exponent = 0;
    for (; p != end && is_digit(*p); ++p) {
      if (exponent < 65536)
        exponent = exponent * 10 + (*p - '0');
      else
        d.exponent_cut = true;
    }
    if (p == exponent_begin) return std::unexpected(NumberError::Invalid);
    d.exponent = exponent_negative ? -exponent : exponent;
  }
  if (p != end) return std::unexpected(NumberError::Invalid);

  double value = 0.0;
  if (d.nonzero) {
    const std::int64_t power = d.scale + d.exponent;
    if (!d.inexact && d.mantissa <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
      // Mantissa and power of ten are both exact doubles, so a single IEEE
      // operation gives the correctly rounded result.
      const double m = static_cast<double>(d.mantissa);
      value = power < 0 ? m / short_decimal::kExactPowersOfTen[-power] : m * short_decimal::kExactPowersOfTen[power];
    } else {
      value = read_slow(d);
    }
  }
  return negative ? -value : value;
}

std::expected<double, NumberError> read_number(std::string_view text) {
  if (text.empty()) return std::unexpected(NumberError::Empty);  // the fast path reads a byte first
  const char* end = text.data() + text.size();
  if (auto number = short_decimal::read(text.data(), text.data(), end); number && number->end == end) return number->value;
  return read_number_general(text);
}

NumberField next_number_general(FieldSplitter& fields) {
  const std::string_view field = fields.next();
  return {field, read_number_general(field)};
}

}  // namespace io_rs
