// Fixed-point fields spelled the plain way: the sign, NaN, infinity and zero
// rules written out, and the digits of every other value from an exact
// conversion of the standard library (std::to_chars) or of the C library
// (printf's %.*f, exact and rounding half to even in glibc).
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace fuzz {

enum class Digits { ToChars, Printf };

inline std::string exact_fixed_digits(double magnitude, int precision, Digits digits) {
  std::vector<char> buffer(330 + static_cast<std::size_t>(precision));
  if (digits == Digits::ToChars) {
    auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), magnitude,
                                std::chars_format::fixed, precision);
    if (result.ec != std::errc()) std::abort();
    return std::string(buffer.data(), result.ptr);
  }
  const int length = std::snprintf(buffer.data(), buffer.size(), "%.*f", precision, magnitude);
  if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) std::abort();
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

inline std::string reference_fixed(double value, unsigned width, unsigned precision, Digits digits) {
  std::string field;
  if (std::isnan(value)) {
    field = "NaN";  // never signed
  } else {
    if (std::signbit(value)) field = "-";  // negative zero and values rounding to zero included
    if (std::isinf(value))
      field += "inf";
    else if (value == 0.0)
      field += precision == 0 ? std::string("0") : "0." + std::string(precision, '0');
    else
      field += exact_fixed_digits(std::fabs(value), static_cast<int>(precision), digits);
  }
  if (field.size() < width) field.insert(0, width - field.size(), ' ');
  return field;
}

inline std::string reference_unsigned(unsigned long long value, unsigned width) {
  std::string field = std::to_string(value);
  if (field.size() < width) field.insert(0, width - field.size(), ' ');
  return field;
}

}  // namespace fuzz
