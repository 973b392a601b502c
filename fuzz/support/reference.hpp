// The plain references the harnesses hold the routines to: the field rule, the
// number grammar with values from strtod, fixed-point fields from the exact
// conversions of the standard and the C library, and messages filled in.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <initializer_list>
#include <limits>
#include <locale.h>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// The separators are TAB, LF, FF, CR and SPACE, nothing else; a field is a
// maximal run of other bytes.
inline std::vector<std::string_view> reference_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t i = 0, start = 0; i <= line.size(); ++i) {
    if (i < line.size() && std::string_view("\t\n\f\r ").find(line[i]) == std::string_view::npos) continue;
    if (i > start) fields.push_back(line.substr(start, i - start));
    start = i + 1;
  }
  return fields;
}

// A message pattern with each "{}" replaced by the next argument.
inline std::string fill(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  std::size_t at = 0;
  for (const std::string_view arg : args) {
    const std::size_t hole = pattern.find("{}", at);
    out += pattern.substr(at, hole - at);
    out += arg;
    at = hole + 2;
  }
  return out += pattern.substr(at);
}

// The number grammar checked by hand, one rule per step; the value comes from
// strtod in the C locale (correctly rounded in glibc, overflow to infinity and
// underflow to zero or a subnormal included), given only texts the grammar
// accepts, spelled as the grammar reads them. A refusal gives the reason.
inline std::expected<double, std::string_view> reference_number(std::string_view text) {
  const auto invalid = std::unexpected<std::string_view>("invalid float literal");
  if (text.empty()) return std::unexpected<std::string_view>("cannot parse float from empty string");
  std::size_t i = text[0] == '+' || text[0] == '-' ? 1 : 0;
  const double sign = text[0] == '-' ? -1.0 : 1.0;
  std::string word(text.substr(i));
  for (char& c : word) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  if (word == "inf" || word == "infinity") return sign * std::numeric_limits<double>::infinity();
  if (word == "nan") return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);

  const auto digits = [&] {
    std::string run;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') run += text[i++];
    return run;
  };
  const std::string integer_digits = digits();
  const std::string fraction_digits = i < text.size() && text[i] == '.' ? (++i, digits()) : "";
  if (integer_digits.empty() && fraction_digits.empty()) return invalid;
  std::string exponent = "0";
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    const bool negative = ++i < text.size() && text[i] == '-';
    i += i < text.size() && (text[i] == '+' || text[i] == '-');
    const std::string exponent_digits = digits();
    if (exponent_digits.empty()) return invalid;
    long value = 0;  // digits count until the exponent reaches 65536; later ones are ignored
    for (char d : exponent_digits) value = value < 65536 ? value * 10 + (d - '0') : value;
    exponent = (negative ? "-" : "") + std::to_string(value);
  }
  if (i != text.size()) return invalid;

  // strtod must not see the process locale: one with a decimal comma would read "0.5" as 0.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const std::string spelled = (integer_digits.empty() ? "0" : integer_digits) + "." + fraction_digits + "e" + exponent;
  char* end = nullptr;
  const double magnitude = strtod_l(spelled.c_str(), &end, c_locale);
  if (end != spelled.c_str() + spelled.size()) std::abort();  // the spelling is always complete
  return sign * magnitude;
}

// Equal as the parsers must store them: the same bits, except that any two
// NaNs of the same sign count as equal.
inline bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::string describe(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g%s", v, std::signbit(v) && std::isnan(v) ? " (sign set)" : "");
  return text;
}

inline std::string right_aligned(std::string field, std::size_t width) {
  return field.size() < width ? std::string(width - field.size(), ' ') + field : field;
}

// A fixed-point field with the sign, NaN, infinity, zero and padding rules
// written out, and the digits of every other value from std::to_chars or from
// printf's %.*f (exact and rounding half to even in glibc).
enum class Digits { ToChars, Printf };

inline std::string reference_fixed(double value, unsigned width, unsigned precision, Digits digits) {
  if (std::isnan(value)) return right_aligned("NaN", width);  // never signed
  // Negative zero and values rounding to zero keep their sign.
  std::string field = std::signbit(value) ? "-" : "";
  const int p = static_cast<int>(precision);
  std::vector<char> buffer(330 + precision);
  if (std::isinf(value)) {
    field += "inf";
  } else if (value == 0.0) {
    field += precision == 0 ? "0" : "0." + std::string(precision, '0');
  } else if (digits == Digits::ToChars) {
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value),
                                      std::chars_format::fixed, p);
    if (result.ec != std::errc()) std::abort();
    field.append(buffer.data(), result.ptr);
  } else {
    const int n = std::snprintf(buffer.data(), buffer.size(), "%.*f", p, std::fabs(value));
    if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) std::abort();
    field.append(buffer.data(), static_cast<std::size_t>(n));
  }
  return right_aligned(field, width);
}

}  // namespace fuzz
