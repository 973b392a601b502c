// parse_xdatcar_coords against a reference that applies the block's rules
// field by field: no crash, no read outside a line, and the same message or
// the same array.
#include <cstdint>
#include <string>
#include <string_view>

#include "support/compare_block.hpp"
#include "support/input_lines.hpp"
#include "support/reference_fields.hpp"
#include "vasp/vasp.hpp"

namespace {

fuzz::ExpectedBlock reference_xdatcar(const fuzz::InputLines& lines) {
  fuzz::ExpectedBlock want;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto fields = fuzz::reference_fields(lines[i]);
    const std::string at = std::to_string(i);
    for (std::size_t j = 0; j < 3; ++j) {
      if (j >= fields.size()) return fuzz::refusal("XDATCAR: not enough fields on coordinate line " + at);
      const auto number = fuzz::reference_number(fields[j]);
      if (!number.accepted)
        return fuzz::refusal("XDATCAR: cannot parse '" + std::string(fields[j]) + "' on line " + at + ": " +
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
  const auto want = reference_xdatcar(lines);
  const auto got = io_rs::vasp::parse_xdatcar_coords(lines.list());
  if (want.refused()) {
    fuzz::check_refusal(input, want, got);
    return 0;
  }
  if (!got) fuzz::mismatch("refused a valid block", input, "(a block)", got.error().message);
  fuzz::check_positions(input, want.positions, *got);
  return 0;
}
