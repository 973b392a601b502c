// parse_xyz_block against a reference that applies the block's rules field
// by field: no crash, no read outside a line, the same message or the same
// array, and ASCII symbols normalised to a capital and small letters. (Case
// mapping beyond ASCII is held to CPython's str methods in the Python tests.)
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "support/compare_block.hpp"
#include "support/input_lines.hpp"
#include "support/reference_fields.hpp"
#include "xyz/xyz.hpp"

namespace {

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The first letter up, the rest down; empty for a field this check leaves alone.
std::string ascii_symbol(std::string_view field) {
  if (!is_ascii(field)) return {};
  std::string symbol(field);
  for (std::size_t k = 0; k < symbol.size(); ++k) {
    char& c = symbol[k];
    if (k == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (k > 0 && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return symbol;
}

fuzz::ExpectedBlock reference_xyz(const fuzz::InputLines& lines) {
  fuzz::ExpectedBlock want;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto fields = fuzz::reference_fields(lines[i]);
    const std::string at = std::to_string(i);
    if (fields.empty()) return fuzz::refusal("XYZ: empty line at atom index " + at);
    want.symbols.push_back(ascii_symbol(fields[0]));
    for (std::size_t j = 1; j < 4; ++j) {
      if (j >= fields.size()) return fuzz::refusal("XYZ: not enough position fields on atom line " + at);
      const auto number = fuzz::reference_number(fields[j]);
      if (!number.accepted)
        return fuzz::refusal("XYZ: cannot parse coordinate '" + std::string(fields[j]) + "' on line " + at + ": " +
                             std::string(number.reason));
      want.positions.push_back(number.value);
    }
  }
  return want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const fuzz::InputLines lines(data, size);
  const auto want = reference_xyz(lines);
  const auto got = io_rs::xyz::parse_xyz_block(lines.list());
  if (want.refused()) {
    fuzz::check_refusal(input, want, got);
    return 0;
  }
  if (!got) fuzz::mismatch("refused a valid block", input, "(a block)", got.error().message);
  fuzz::check_positions(input, want.positions, got->positions);
  if (got->symbols.size() != want.symbols.size())
    fuzz::mismatch("symbol count", input, std::to_string(want.symbols.size()), std::to_string(got->symbols.size()));
  for (std::size_t i = 0; i < want.symbols.size(); ++i) {
    const std::string_view symbol = got->symbols[i];
    if (symbol.empty()) fuzz::mismatch("empty symbol", input, "a symbol", "");
    if (!want.symbols[i].empty()) fuzz::check_equal("symbol", input, want.symbols[i], symbol);
  }
  return 0;
}
