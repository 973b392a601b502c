// Holds the short field readers (core/short_fields.hpp) to the general
// readers: where short_field::real reads, read_number gives the same bits;
// where short_field::integer reads, std::from_chars gives the same number;
// and the shapes they are for (-? d{0,8} . d{0,8}, -? d{1,15}) are read by
// them, not left to the general readers. Fields are drawn from digits and
// the bytes that end or spoil a number.
// Usage: short_fields_test [millions of cases, default 2]
#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "core/number_read.hpp"
#include "core/short_fields.hpp"

namespace {

std::mt19937_64 rng(20261207);
long failures = 0;

std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }

std::string digits(std::size_t n) {
  std::string text;
  for (std::size_t k = 0; k < n; ++k) text += static_cast<char>('0' + below(10));
  return text;
}

void report(const char* what, const std::string& field) {
  if (++failures <= 20) std::printf("%s: '%s'\n", what, field.c_str());
}

// The field, then a separator, in a buffer of at least kReadable bytes.
void check(const std::string& field, bool real_shape, bool integer_shape) {
  std::string buffer = field + (below(2) ? ' ' : '\n');
  while (buffer.size() < 32) buffer += static_cast<char>(below(2) ? 'x' : '7');
  const auto span = io_rs::short_field::span_at(buffer.data());
  if (span.length != static_cast<int>(field.size())) {
    if (real_shape || integer_shape) report("span length", field);
    return;
  }
  const auto real = io_rs::short_field::real(buffer.data(), span);
  const auto general = io_rs::read_number_general(field);
  if (real && (!general || std::bit_cast<std::uint64_t>(*real) != std::bit_cast<std::uint64_t>(*general)))
    report("real differs", field);
  if (real_shape && !real) report("real not read", field);
  const auto integer = io_rs::short_field::integer(buffer.data(), span);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  const bool whole = error == std::errc() && end == field.data() + field.size();
  if (integer && (!whole || value != *integer)) report("integer differs", field);
  if (integer_shape && !integer) report("integer not read", field);
}

// The classes of 16 bytes against their definitions: every byte value at
// every place.
void check_masks() {
  for (int value = 0; value < 256; ++value) {
    for (int place = 0; place < 16; ++place) {
      char bytes[16];
      std::fill(std::begin(bytes), std::end(bytes), '5');
      bytes[place] = static_cast<char>(value);
      const io_rs::bytes16::Masks masks = io_rs::bytes16::masks(bytes);
      const std::uint32_t bit = std::uint32_t{1} << place;
      const bool ends = value <= 0x20 || value >= 0x80, digit = value >= '0' && value <= '9';
      const std::uint32_t want_ends = ends ? bit : 0, want_non_digits = digit ? 0 : bit;
      if (masks.ends != want_ends || masks.non_digits != want_non_digits) {
        report("masks differ", std::to_string(value) + " at " + std::to_string(place));
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long millions = argc > 1 ? std::atol(argv[1]) : 2;
  check_masks();
  const std::string noise = "0123456789.-+eE x\t/,";
  for (long i = 0; i < millions * 1000000; ++i) {
    switch (i % 3) {
      case 0: {  // a real of the shape, its digits split anyhow about the point
        const std::size_t whole = below(9), fraction = below(9);
        std::string field;
        if (below(2)) field += '-';
        field += digits(whole);
        if (fraction > 0 || below(2)) {
          field += '.';
          field += digits(fraction);
        }
        check(field, whole + fraction > 0 && field.size() < 16, false);
        break;
      }
      case 1: {  // a whole number of up to 16 digits
        const std::size_t n = 1 + below(16);
        std::string field;
        if (below(4) == 0) field += '-';
        field += digits(n);
        check(field, false, n <= 15);
        break;
      }
      default: {  // anything of the bytes around numbers
        std::string field;
        for (std::size_t n = 1 + below(15); n > 0; --n) field += noise[below(noise.size())];
        const std::size_t blank = field.find_first_of(" \t");
        check(blank == std::string::npos ? field : field.substr(0, blank), false, false);
      }
    }
  }
  std::printf("short fields: %ld million cases, %ld failures\n", millions, failures);
  return failures == 0 ? 0 : 1;
}
