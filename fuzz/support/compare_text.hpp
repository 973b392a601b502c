// Comparing what a formatter returned with its reference: the same text, or
// the same error of the same kind.
#pragma once

#include <string>
#include <string_view>

#include "check.hpp"
#include "frame/error.hpp"
#include "frame/output_text.hpp"

namespace fuzz {

struct ExpectedText {
  io_rs::ErrorKind kind = io_rs::ErrorKind::Value;
  std::string message;  // empty when text is expected
  std::string text;
};

inline ExpectedText value_error(std::string message) { return {io_rs::ErrorKind::Value, std::move(message), {}}; }
inline ExpectedText out_of_bounds() { return {io_rs::ErrorKind::Internal, "ndarray: index out of bounds", {}}; }

inline void check_text(std::string_view input, const ExpectedText& want, const io_rs::Result<io_rs::OutputText>& got) {
  if (!want.message.empty()) {
    if (got) mismatch("wrote text where an error was due", input, want.message, got->view());
    if (got.error().kind != want.kind) mismatch("error kind", input, want.message, got.error().message);
    check_equal("error message", input, want.message, got.error().message);
    return;
  }
  if (!got) mismatch("failed where text was due", input, want.text, got.error().message);
  check_equal("text", input, want.text, got->view());
}

}  // namespace fuzz
