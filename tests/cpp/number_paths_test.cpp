// Holds the fast paths of number reading and writing to the general paths:
// read_number against read_number_general, write_fixed against
// write_fixed_general, write_shortest_real against std::to_chars, on random
// and adversarial values, ties included.
// Usage: number_paths_test [millions of cases per group, default 2]
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "core/number_read.hpp"
#include "core/number_write.hpp"
#include "core/portable.hpp"
#include "core/shortest_real.hpp"

namespace {

using io_rs::OutputText;
namespace wide = io_rs::wide;

std::mt19937_64 rng(20261206);
long failures = 0;

std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); }

void check_read(const std::string& text) {
  auto fast = io_rs::read_number(text);
  auto general = io_rs::read_number_general(text);
  const bool same = fast.has_value() == general.has_value() &&
                    (fast ? std::bit_cast<std::uint64_t>(*fast) == std::bit_cast<std::uint64_t>(*general)
                          : fast.error() == general.error());
  if (!same && ++failures <= 20) {
    std::printf("read mismatch: '%s' fast=%.17g general=%.17g\n", text.c_str(), fast.value_or(-1.0),
                general.value_or(-1.0));
  }
}

void check_field_in(const std::string& buffer, const std::string& line);

// next_number on a line against the plain splitter followed by the general
// reader: the same field, the same value or refusal, the same rest of line.
// The line is also read inside a buffer that goes on past its line feed,
// which the reader may load but must not count.
void check_field(const std::string& line) {
  check_field_in(line, line);
  check_field_in(line + "\n.12345678901234567", line);
}

void check_field_in(const std::string& buffer, const std::string& line) {
  io_rs::FieldSplitter fused(std::string_view(buffer).substr(0, line.size()), buffer.data() + buffer.size());
  io_rs::FieldSplitter plain(line);
  for (int j = 0; j < 3; ++j) {
    const io_rs::NumberField number = io_rs::next_number(fused);
    const std::string_view field = plain.next();
    bool same = number.text == field && (field.empty() || number.text.data() - buffer.data() == field.data() - line.data());
    if (same && !field.empty()) {
      auto general = io_rs::read_number_general(field);
      same = number.value.has_value() == general.has_value() &&
             (general ? std::bit_cast<std::uint64_t>(*number.value) == std::bit_cast<std::uint64_t>(*general)
                      : number.value.error() == general.error());
    }
    if (!same && ++failures <= 20) std::printf("field mismatch in '%s' at field %d\n", line.c_str(), j);
  }
}

// The formatters' fields, with width and precision folded in at compile time.
void write_field(OutputText& out, double value, std::uint16_t width, std::uint16_t precision) {
  if (width == 11 && precision == 8) io_rs::write_fixed_field<11, 8>(out, value);
  else if (width == 19 && precision == 16) io_rs::write_fixed_field<19, 16>(out, value);
  else if (width == 22 && precision == 15) io_rs::write_fixed_field<22, 15>(out, value);
  else io_rs::write_fixed(out, value, width, precision);
}

void check_write(double value, std::uint16_t width, std::uint16_t precision) {
  OutputText fast, general;
  write_field(fast, value, width, precision);
  io_rs::write_fixed_general(general, value, width, precision);
  if (fast.view() != general.view() && ++failures <= 20) {
    std::printf("write mismatch: %a P=%u fast='%.*s' general='%.*s'\n", value, precision,
                static_cast<int>(fast.size()), fast.view().data(), static_cast<int>(general.size()),
                general.view().data());
  }
}

std::string digits(int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += static_cast<char>('0' + below(10));
  return s;
}

// Decimals of every short shape: signs, leading zeros, point anywhere.
void random_decimals(long count) {
  for (long i = 0; i < count; ++i) {
    std::string s;
    switch (below(4)) {
      case 0: s += '-'; break;
      case 1: s += '+'; break;
      default: break;
    }
    const int total = 1 + static_cast<int>(below(24));
    const int point = static_cast<int>(below(total + 2)) - 1;  // -1: no point
    std::string d = digits(total);
    if (below(3) == 0) {
      const std::size_t zeros = below(total) + 1;
      for (std::size_t j = 0; j < zeros; ++j) d[j] = '0';
    }
    if (point < 0) s += d;
    else s += d.substr(0, point) + "." + d.substr(point);
    check_read(s);
    static const char* const kJoiners[] = {" ", "\t", "  \r\n", "x", "\x0b", "e5 ", "E-3\t", ".", "\xc2\xa0"};
    check_field(s + kJoiners[below(9)] + s + kJoiners[below(9)] + s);
  }
}

// 17 to 19 significant digits over powers of ten: where the floating estimate
// needs its exact check.
void long_mantissas(long count) {
  for (long i = 0; i < count; ++i) {
    const int total = 17 + static_cast<int>(below(3));
    std::string d = std::to_string(1 + below(9)) + digits(total - 1);
    const int point = 1 + static_cast<int>(below(total - 1));
    check_read(d.substr(0, point) + "." + d.substr(point));
  }
}

// Decimals within a unit or two of the midpoint between adjacent doubles,
// with mantissas just below 2^64: the cases an inexact check would get wrong.
void near_midpoints(long count) {
  for (long i = 0; i < count; ++i) {
    const int k = 1 + static_cast<int>(below(19));
    const std::uint64_t m0 = (1ull << 53) + below(~0ull - (1ull << 53));
    const double c = static_cast<double>(m0) / std::pow(10.0, k);
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(c);
    const std::uint64_t mantissa = (bits & ((1ull << 52) - 1)) | (1ull << 52);
    const int s = static_cast<int>(bits >> 52) - 1075 - 1 + k;
    std::uint64_t five = 1;  // 5^19 < 2^45
    for (int j = 0; j < k; ++j) five *= 5;
    const wide::U128 scaled = wide::multiply(2 * mantissa + 1, five);  // the midpoint times 10^k, times 2^-s
    if (s >= 64 || (s > 0 && wide::shift_right(scaled, 128 - s).low != 0)) continue;
    const wide::U128 midpoint = s >= 0 ? wide::shift_left(scaled, s) : wide::shift_right(scaled, -s);
    if (midpoint.high != 0) continue;
    for (int delta = -2; delta <= 2; ++delta) {
      const std::uint64_t m = midpoint.low + delta;
      std::string d = std::to_string(m);
      if (static_cast<int>(d.size()) <= k) d = std::string(k - d.size() + 1, '0') + d;
      check_read(d.substr(0, d.size() - k) + "." + d.substr(d.size() - k));
    }
  }
}

double random_bits_double() { return std::bit_cast<double>(rng()); }

void random_writes(long count, std::uint16_t precision, std::uint16_t width) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (long i = 0; i < count; ++i) {
    check_write(random_bits_double(), width, precision);
    const double scale = std::ldexp(1.0, static_cast<int>(below(140)) - 70);
    check_write(unit(rng) * scale, width, precision);
  }
}

// Exact ties at the last written decimal: an integer plus (2i+1) / 2^(P+1).
void ties(long count, std::uint16_t precision, std::uint16_t width) {
  const int denominator_bits = precision + 1;
  for (long i = 0; i < count; ++i) {
    const int integer_bits = static_cast<int>(below(53 - denominator_bits > 0 ? 53 - denominator_bits : 1));
    const std::uint64_t integer = below(1ull << integer_bits);
    const std::uint64_t odd = 2 * below(1ull << std::min(precision, std::uint16_t{50})) + 1;
    double value = std::ldexp(static_cast<double>(integer), 0) +
                   std::ldexp(static_cast<double>(odd), -denominator_bits);
    if (below(2)) value = -value;
    check_write(value, width, precision);
    check_write(std::nextafter(value, INFINITY), width, precision);
    check_write(std::nextafter(value, -INFINITY), width, precision);
  }
}

// The edges of the integer range: around 2^53, 2^64, the carries at 10^n - 0.5
// units, the smallest values that still round away from zero, subnormals.
void edges(std::uint16_t precision, std::uint16_t width) {
  const double specials[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, -NAN, 5e-324, -5e-324, 2.2250738585072014e-308,
                             0x1p53, 0x1p63, 0x1p64, 0x1.fffffffffffffp63, 0x1.fffffffffffffp52, 1.0, 0.5};
  for (double v : specials) {
    for (double w = v, n = 0; n < 50; ++n, w = std::nextafter(w, INFINITY)) check_write(w, width, precision);
    for (double w = v, n = 0; n < 50; ++n, w = std::nextafter(w, -INFINITY)) check_write(w, width, precision);
  }
  for (int e = -30; e <= 20; ++e) {
    const double p = std::pow(10.0, e);
    for (double f : {0.5, 1.0, 5.0, 9.5, 9.999999999}) {
      double v = p * f;
      for (int n = 0; n < 20; ++n, v = std::nextafter(v, INFINITY)) check_write(v, width, precision);
    }
  }
}

// The shortest-digits writer against std::to_chars: random bit patterns,
// values like atom coordinates, and every power of two and its neighbours
// (where the digits' interval is lopsided), both signs.
void check_shortest(double value) {
  char expected[64], ours[io_rs::kShortestRealRoom];
  const char* expected_end = std::to_chars(expected, expected + sizeof expected, value).ptr;
  const char* ours_end = io_rs::write_shortest_real(ours, value);
  const std::string_view a(expected, expected_end - expected), b(ours, ours_end - ours);
  if (a != b && ++failures <= 20) {
    std::printf("shortest mismatch for %a: to_chars %.*s, ours %.*s\n", value, int(a.size()), a.data(),
                int(b.size()), b.data());
  }
}

long shortest_writes(long count) {
  long checked = 0;
  for (long i = 0; i < count; ++i, checked += 2) {
    check_shortest(std::bit_cast<double>(rng()));
    check_shortest(std::ldexp(static_cast<double>(below(1ull << 53)), static_cast<int>(below(80)) - 60));
  }
  for (std::uint64_t exponent = 0; exponent < 2048; ++exponent) {
    for (std::uint64_t mantissa : {0ull, 1ull, 2ull, (1ull << 52) - 1, 1ull << 51}) {
      const double value = std::bit_cast<double>((exponent << 52) | mantissa);
      check_shortest(value);
      check_shortest(-value);
      checked += 2;
    }
  }
  for (int p = -325; p <= 308; ++p) {
    const double value = std::pow(10.0, p);
    for (double v : {value, std::nextafter(value, 0.0), std::nextafter(value, INFINITY)}) check_shortest(v);
    checked += 3;
  }
  // Values of few decimals (the writer finds their digits by a shortcut up
  // to 2^24 and eight decimals): m / 10^k of every size around that bound,
  // and their neighbours, which take the general way.
  constexpr double kPowers[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
  for (long i = 0; i < count; ++i, checked += 3) {
    const double value = static_cast<double>(below(1ull << below(54))) / kPowers[below(11)];
    check_shortest(value);
    check_shortest(std::nextafter(value, 0.0));
    check_shortest(std::nextafter(value, INFINITY));
  }
  for (double edge : {16777216.0, 8388608.0, 1e7, 1e-8, 1.0, 0.1}) {
    double up = edge, down = edge;
    for (int n = 0; n < 2000; ++n, checked += 2) {
      check_shortest(up = std::nextafter(up, INFINITY));
      check_shortest(down = std::nextafter(down, 0.0));
    }
    for (long j = -5000; j <= 5000; ++j, ++checked) check_shortest(edge + static_cast<double>(j) * 1e-8);
  }
  for (long i = -100000; i <= 100000; ++i, checked += 3) {
    check_shortest(static_cast<double>(i) * 1e11);
    check_shortest(static_cast<double>(i) / 1000.0);
    check_shortest(std::ldexp(static_cast<double>(i), 45));
  }
  return checked;
}

}  // namespace

int main(int argc, char** argv) {
  const long millions = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2;
  const long n = millions * 1000000;
  // Empty text has no byte to look at, not even through a null view.
  for (std::string_view empty : {std::string_view{}, std::string_view("x", 0)}) {
    const auto result = io_rs::read_number(empty);
    if (result || result.error() != io_rs::NumberError::Empty) {
      std::printf("empty text not refused as empty\n");
      ++failures;
    }
  }
  random_decimals(n);
  long_mantissas(n);
  near_midpoints(n / 5);
  long reads = 3 * n;  // near_midpoints checks five texts each
  long writes = 0;
  for (std::uint16_t precision : {8, 15, 16}) {
    const std::uint16_t width = precision == 8 ? 11 : precision == 15 ? 22 : 19;
    random_writes(n / 2, precision, width);
    ties(n / 3, precision, width);
    edges(precision, width);
    writes += n + n + 3 * (n / 3);
  }
  for (std::uint16_t precision = 1; precision <= 20; ++precision) {
    random_writes(n / 40, precision, 0);
    ties(n / 40, precision, 0);
    writes += n / 20 + 3 * (n / 40);
  }
#if IO_RS_NATIVE_INT128 || IO_RS_MSVC_UMUL128
  const char* arithmetic = "compiler 128-bit";
#else
  const char* arithmetic = "portable 64-bit";
#endif
  writes += shortest_writes(n);
  std::printf("number paths (%s arithmetic): about %ld reads and %ld writes compared, %ld mismatches\n",
              arithmetic, reads, writes, failures);
  return failures == 0 ? 0 : 1;
}
