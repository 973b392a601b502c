// What every harness shares: the check of a routine's result against what its
// reference expects, with a report of the routine, its input and both sides
// and an abort on any disagreement (so that libFuzzer keeps the input and the
// run fails); and texts in heap blocks of their exact length, so that
// AddressSanitizer reports a routine reading any byte around one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sanitizer/asan_interface.h>

#include "core/error.hpp"

namespace fuzz {

// Everything outside printable ASCII escaped, so that a report shows
// separators, NULs and UTF-8 exactly.
inline std::string escaped(std::string_view bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    char text[8];
    std::snprintf(text, sizeof text, c >= 0x20 && c < 0x7F && c != '\\' ? "%c" : "\\x%02X", c);
    out += text;
  }
  return out;
}

// What a report names: the routine and its input (the bytes, or what a
// formatter drew from them).
inline std::string current_routine, current_input;
inline void testing(std::string routine, std::string_view input) {
  current_routine = std::move(routine);
  current_input = input;
}

[[noreturn]] inline void fail(const std::string& what, std::string_view expected, std::string_view got) {
  std::fprintf(stderr, "\n*** mismatch in %s: %s\n  input:    \"%s\"\n  expected: \"%s\"\n  got:      \"%s\"\n",
               current_routine.c_str(), what.c_str(), escaped(current_input).c_str(), escaped(expected).c_str(),
               escaped(got).c_str());
  std::abort();
}

inline void check_equal(const std::string& what, std::string_view expected, std::string_view got) {
  if (expected != got) fail(what, expected, got);
}

// What a reference decided: the error due (when message is set), or the value.
template <class V>
struct Expected {
  io_rs::ErrorKind kind = io_rs::ErrorKind::Value;
  std::string message;
  V value{};
};

// The same error of the same kind, or a result that compare finds equal.
template <class V, class T, class Compare>
void check(const Expected<V>& want, const io_rs::Result<T>& got, Compare compare) {
  if (want.message.empty()) {
    if (!got) fail("failed where a result was due", "(a result)", got.error().message());
    return compare(want.value, *got);
  }
  if (got) fail("returned a result where an error was due", want.message, "(a result)");
  if (got.error().kind != want.kind)
    fail("error kind", want.kind == io_rs::ErrorKind::Value ? "Value" : "Internal", got.error().message());
  check_equal("error message", want.message, got.error().message());
}

// A heap block of exactly n bytes, so that AddressSanitizer reports a read of
// a byte before or after it. For n = 0, one byte, poisoned: ASan lets the byte
// it keeps behind a zero-size block be read.
inline std::unique_ptr<char[]> exact_block(std::size_t n) {
  std::unique_ptr<char[]> block(new char[std::max<std::size_t>(n, 1)]);
  if (n == 0) ASAN_POISON_MEMORY_REGION(block.get(), 1);
  return block;
}

// Texts, each copied into an exact block.
class ExactTexts {
 public:
  std::string_view copy(std::string_view text) {
    char* block = blocks_.emplace_back(exact_block(text.size())).get();
    if (!text.empty()) std::memcpy(block, text.data(), text.size());
    return {block, text.size()};
  }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
};

}  // namespace fuzz
