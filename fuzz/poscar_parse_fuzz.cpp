// parse_poscar_positions, with and without selective dynamics, against a
// reference that applies the block's rules field by field: no crash, no
// read outside a line, and the same message or the same arrays.
#include <cstdint>
#include <string>
#include <string_view>

#include "support/compare_block.hpp"
#include "support/input_lines.hpp"
#include "support/reference_fields.hpp"
#include "vasp/vasp.hpp"

namespace {

fuzz::ExpectedBlock reference_poscar(const fuzz::InputLines& lines, bool selective) {
  fuzz::ExpectedBlock want;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto fields = fuzz::reference_fields(lines[i]);
    const std::string at = std::to_string(i);
    for (std::size_t j = 0; j < 3; ++j) {
      if (j >= fields.size())
        return fuzz::refusal("POSCAR: not enough fields on atom line " + at + " (need 3 coordinates)");
      const auto number = fuzz::reference_number(fields[j]);
      if (!number.accepted)
        return fuzz::refusal("POSCAR: cannot parse coordinate '" + std::string(fields[j]) + "' on atom line " +
                             at + ": " + std::string(number.reason));
      want.positions.push_back(number.value);
    }
    if (!selective) continue;
    // F holds the atom fixed (true), T lets it move, a missing flag is T.
    for (std::size_t j = 3; j < 6; ++j) {
      if (j >= fields.size()) {
        want.flags.push_back(0);
      } else if (fields[j] == "F" || fields[j] == "T") {
        want.flags.push_back(fields[j] == "F");
      } else {
        return fuzz::refusal("POSCAR: expected selective dynamics flag 'T' or 'F', got '" +
                             std::string(fields[j]) + "' on atom line " + at);
      }
    }
  }
  return want;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const fuzz::InputLines lines(data, size);
  for (const bool selective : {false, true}) {
    const auto want = reference_poscar(lines, selective);
    const auto got = io_rs::vasp::parse_poscar_positions(lines.list(), selective);
    if (want.refused()) {
      fuzz::check_refusal(input, want, got);
      continue;
    }
    if (!got) fuzz::mismatch("refused a valid block", input, "(a block)", got.error().message);
    fuzz::check_positions(input, want.positions, got->positions);
    if (got->flags.has_value() != selective) fuzz::mismatch("flag array presence", input, selective ? "yes" : "no", "");
    if (!selective) continue;
    const auto& flags = *got->flags;
    if (flags.rows != lines.size() || flags.cols != 3) fuzz::mismatch("flag shape", input, "N x 3", "");
    for (std::size_t k = 0; k < want.flags.size(); ++k) {
      if (flags.values[k] != want.flags[k])
        fuzz::mismatch(("flag " + std::to_string(k)).c_str(), input, std::to_string(want.flags[k]),
                       std::to_string(flags.values[k]));
    }
  }
  return 0;
}
