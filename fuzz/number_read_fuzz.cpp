// read_number against the grammar written out by hand and strtod: the same
// texts accepted, the same reason for every refusal, the same bits for every
// value (NaNs compared by sign only).
#include <cstdint>
#include <string_view>

#include "frame/number_read.hpp"
#include "support/check.hpp"
#include "support/reference_number.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto got = io_rs::read_number(text);
  const auto want = fuzz::reference_number(text);

  if (!want.accepted) {
    if (got) fuzz::mismatch("accepted a text the grammar refuses", text, want.reason, fuzz::describe(*got));
    fuzz::check_equal("refusal reason", text, want.reason, io_rs::number_error_reason(got.error()));
    return 0;
  }
  if (!got) fuzz::mismatch("refused a number", text, fuzz::describe(want.value), io_rs::number_error_reason(got.error()));
  if (!fuzz::same_double(*got, want.value))
    fuzz::mismatch("wrong value", text, fuzz::describe(want.value), fuzz::describe(*got));
  return 0;
}
