// The field rule as plainly as it can be written: the separators are TAB,
// LF, FF, CR and SPACE, nothing else; a field is a maximal run of other bytes.
#pragma once

#include <string_view>
#include <vector>

namespace fuzz {

constexpr bool is_field_separator(unsigned char c) {
  return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

inline std::vector<std::string_view> reference_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  bool in_field = false;
  for (std::size_t i = 0; i <= line.size(); ++i) {
    const bool separator = i == line.size() || is_field_separator(static_cast<unsigned char>(line[i]));
    if (!separator && !in_field) {
      start = i;
      in_field = true;
    } else if (separator && in_field) {
      fields.push_back(line.substr(start, i - start));
      in_field = false;
    }
  }
  return fields;
}

}  // namespace fuzz
