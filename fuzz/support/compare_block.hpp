// Comparing what a parser returned with what its reference expects: either
// the same ValueError message, or the same rows of numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "frame/error.hpp"
#include "frame/owned_buffer.hpp"
#include "reference_number.hpp"

namespace fuzz {

// What a reference parser decided: a message, or the values of every row.
struct ExpectedBlock {
  std::string message;  // empty when the block parses
  std::vector<double> positions;
  std::vector<std::uint8_t> flags;
  std::vector<std::string> symbols;  // an empty entry when it is not checked

  bool refused() const { return !message.empty(); }
};

inline ExpectedBlock refusal(std::string message) {
  ExpectedBlock e;
  e.message = std::move(message);
  return e;
}

template <class T>
void check_refusal(std::string_view input, const ExpectedBlock& want, const io_rs::Result<T>& got) {
  if (got) mismatch("parsed a block that must be refused", input, want.message, "(a block)");
  if (got.error().kind != io_rs::ErrorKind::Value)
    mismatch("refused with the internal error", input, want.message, got.error().message);
  check_equal("message", input, want.message, got.error().message);
}

inline void check_positions(std::string_view input, const std::vector<double>& want,
                            const io_rs::OwnedMatrix<double>& got) {
  if (got.cols != 3 || got.rows * 3 != want.size())
    mismatch("shape", input, std::to_string(want.size() / 3) + " x 3",
             std::to_string(got.rows) + " x " + std::to_string(got.cols));
  for (std::size_t k = 0; k < want.size(); ++k) {
    if (!same_double(want[k], got.values[k]))
      mismatch(("value at row " + std::to_string(k / 3) + " column " + std::to_string(k % 3)).c_str(), input,
               describe(want[k]), describe(got.values[k]));
  }
}

}  // namespace fuzz
