// The number grammar checked by hand, one rule per step, and the value taken
// from the C library's strtod in the C locale (correctly rounded in glibc,
// overflow to infinity and underflow to zero or a subnormal included). Only
// texts the grammar accepts reach strtod, spelled as the grammar reads them.
#pragma once

#include <clocale>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>
#include <string_view>

namespace fuzz {

struct ReferenceNumber {
  bool accepted = false;
  std::string_view reason;  // when refused
  double value = 0.0;       // when accepted
};

inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

inline std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// strtod must not see the process locale: a locale with a decimal comma
// would read "0.5" as 0.
inline double strtod_c_locale(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char* end = nullptr;
  const double value = strtod_l(text.c_str(), &end, c_locale);
  if (end != text.c_str() + text.size()) std::abort();  // the spelling below is always complete
  return value;
}

inline ReferenceNumber reference_number(std::string_view text) {
  constexpr std::string_view kEmpty = "cannot parse float from empty string";
  constexpr std::string_view kInvalid = "invalid float literal";
  if (text.empty()) return {false, kEmpty};

  std::size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  const double sign = negative ? -1.0 : 1.0;

  const std::string word = ascii_lower(text.substr(i));
  if (word == "inf" || word == "infinity")
    return {true, {}, sign * std::numeric_limits<double>::infinity()};
  if (word == "nan") return {true, {}, std::copysign(std::numeric_limits<double>::quiet_NaN(), sign)};

  std::string integer_digits, fraction_digits;
  while (i < text.size() && is_ascii_digit(text[i])) integer_digits += text[i++];
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_ascii_digit(text[i])) fraction_digits += text[i++];
  }
  if (integer_digits.empty() && fraction_digits.empty()) return {false, kInvalid};

  // Exponent digits count until the exponent reaches 65536; later ones are ignored.
  bool exponent_negative = false;
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exponent_negative = text[i++] == '-';
    const std::size_t first = i;
    while (i < text.size() && is_ascii_digit(text[i])) {
      if (exponent < 65536) exponent = exponent * 10 + (text[i] - '0');
      ++i;
    }
    if (i == first) return {false, kInvalid};
  }
  if (i != text.size()) return {false, kInvalid};

  const std::string spelled = (integer_digits.empty() ? std::string("0") : integer_digits) + "." +
                              fraction_digits + "e" + (exponent_negative ? "-" : "") +
                              std::to_string(exponent);
  return {true, {}, sign * strtod_c_locale(spelled)};
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

}  // namespace fuzz
