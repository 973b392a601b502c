// write_fixed against the exact general path: the digits from std::to_chars
// (chars_format::fixed with the precision) and, independently, from glibc's
// printf, with the sign, NaN, infinity, zero and padding rules spelled out.
// The field is appended after some text already in the output, which must
// stay as it was.
#include <cstdint>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "frame/number_write.hpp"
#include "support/check.hpp"
#include "support/fuzz_values.hpp"
#include "support/reference_fixed.hpp"
#include "support/reference_number.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const double value = fuzz::fuzz_double(in);
  // Mostly the precisions and widths formatters use; now and then far beyond,
  // past the 1074 fraction digits that any float64 can have.
  const bool wide = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  const auto precision = in.ConsumeIntegralInRange<std::uint16_t>(0, wide ? 1200 : 24);
  const auto width = in.ConsumeIntegralInRange<std::uint16_t>(0, wide ? 1500 : 40);
  const std::string before = in.ConsumeRandomLengthString(80);

  io_rs::OutputText out;
  // An empty append to an output that owns no memory yet would pass a null
  // pointer to memcpy; no formatter does that, so neither does the harness.
  if (!before.empty()) out.append(before);
  io_rs::write_fixed(out, value, width, precision);

  const std::string label = fuzz::describe(value) + " width " + std::to_string(width) + " precision " +
                            std::to_string(precision);
  const std::string_view text = out.view();
  if (text.substr(0, before.size()) != before) fuzz::mismatch("text before the field", label, before, text);
  const std::string_view field = text.substr(before.size());
  fuzz::check_equal("field (to_chars)", label, fuzz::reference_fixed(value, width, precision, fuzz::Digits::ToChars),
                    field);
  fuzz::check_equal("field (printf)", label, fuzz::reference_fixed(value, width, precision, fuzz::Digits::Printf),
                    field);
  return 0;
}
