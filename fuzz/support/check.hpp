// What a harness does when the code under test and its reference disagree:
// print both sides and the input, then abort, so that libFuzzer keeps the
// input as a crash artifact and the run fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// The bytes of a text with everything outside printable ASCII escaped, so
// that a report shows separators, NULs and UTF-8 exactly.
inline std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

[[noreturn]] inline void mismatch(const char* what, std::string_view input, std::string_view expected,
                                  std::string_view got) {
  std::fprintf(stderr, "\n*** %s\n  input:    \"%s\"\n  expected: \"%s\"\n  got:      \"%s\"\n", what,
               escaped(input).c_str(), escaped(expected).c_str(), escaped(got).c_str());
  std::abort();
}

inline void check_equal(const char* what, std::string_view input, std::string_view expected,
                        std::string_view got) {
  if (expected != got) mismatch(what, input, expected, got);
}

}  // namespace fuzz
