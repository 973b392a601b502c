#include "xyz/symbol_case.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace io_rs::xyz {
namespace {

struct CaseMapping {
  char32_t from;
  std::array<char32_t, 3> to;  // unused places are 0
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "xyz/case_tables.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// Bytes that are not valid UTF-8 (possible only when the routine is fed
// plain bytes, never from a Python str) travel as these stand-ins, which no
// table maps, and are written back unchanged.
constexpr char32_t kRawByteBase = 0x110000;

bool in_ranges(std::span<const CodeRange> ranges, char32_t c) {
  auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                             [](char32_t v, const CodeRange& r) { return v < r.first; });
  return it != ranges.begin() && c <= std::prev(it)->last;
}

// Appends the mapping of c from the table, or c itself when it has none.
void append_mapped(std::vector<char32_t>& out, std::span<const CaseMapping> table, char32_t c) {
  auto it = std::lower_bound(table.begin(), table.end(), c,
                             [](const CaseMapping& m, char32_t v) { return m.from < v; });
  if (it == table.end() || it->from != c) {
    out.push_back(c);
    return;
  }
  for (char32_t t : it->to) {
    if (t == 0) break;
    out.push_back(t);
  }
}

bool is_case_ignorable(char32_t c) { return in_ranges(kCaseIgnorable, c); }
bool is_cased(char32_t c) { return in_ranges(kCasedNotIgnorable, c); }

// Final_Sigma: a cased letter before the sigma (case-ignorable ones skipped)
// and no cased letter after it (likewise).
bool is_final_sigma(const std::vector<char32_t>& s, std::size_t i) {
  std::size_t j = i;
  while (j > 0 && is_case_ignorable(s[j - 1])) --j;
  if (j == 0 || !is_cased(s[j - 1])) return false;
  for (std::size_t k = i + 1; k < s.size(); ++k) {
    if (!is_case_ignorable(s[k])) return !is_cased(s[k]);
  }
  return true;
}

std::vector<char32_t> decode(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p != end) {
    unsigned char b = *p;
    int extra = b < 0x80 ? 0 : b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2
              : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
    char32_t c = extra == 0 ? b : extra == 1 ? b & 0x1F : extra == 2 ? b & 0x0F : b & 0x07;
    bool valid = extra >= 0 && end - p > extra;
    for (int k = 1; valid && k <= extra; ++k) {
      valid = (p[k] & 0xC0) == 0x80;
      c = (c << 6) | (p[k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (valid && extra == 2 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
    if (valid && extra == 3 && (c < 0x10000 || c > 0x10FFFF)) valid = false;
    if (!valid) {
      out.push_back(kRawByteBase + b);
      ++p;
      continue;
    }
    out.push_back(c);
    p += extra + 1;
  }
  return out;
}

void encode(std::string& out, char32_t c) {
  if (c >= kRawByteBase) {
    out += static_cast<char>(c - kRawByteBase);
  } else if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_normalized_unicode(std::string& out, std::string_view field) {
  const std::vector<char32_t> original = decode(field);
  std::vector<char32_t> lower;
  lower.reserve(original.size() + 2);
  for (std::size_t i = 0; i < original.size(); ++i) {
    const char32_t c = original[i];
    if (c == kCapitalSigma)
      lower.push_back(is_final_sigma(original, i) ? kFinalSigma : kSmallSigma);
    else
      append_mapped(lower, kLowerMappings, c);
  }
  std::vector<char32_t> first;
  append_mapped(first, kUpperMappings, lower.front());
  for (char32_t c : first) encode(out, c);
  for (std::size_t i = 1; i < lower.size(); ++i) encode(out, lower[i]);
}

}  // namespace

void append_normalized_symbol(std::string& out, std::string_view field) {
  if (field.empty()) return;
  const bool ascii = std::all_of(field.begin(), field.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!ascii) return append_normalized_unicode(out, field);
  // Plain ASCII, byte by byte: the first letter up, the rest down.
  const std::size_t start = out.size();
  out.append(field);
  char* p = out.data() + start;
  if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  for (std::size_t k = 1; k < field.size(); ++k) {
    if (p[k] >= 'A' && p[k] <= 'Z') p[k] = static_cast<char>(p[k] - 'A' + 'a');
  }
}

}  // namespace io_rs::xyz
