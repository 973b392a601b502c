// read_number against the grammar written out by hand and strtod: the same
// texts accepted, the same reason for every refusal, the same bits for every
// value (NaNs compared by sign only). The text is the input in a block of its
// own length; an empty one is also read as a view with no memory behind it.
#include "core/number_read.hpp"
#include "support/harness.hpp"
#include "support/reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  fuzz::ExactTexts exact;
  std::vector<std::string_view> texts{exact.copy(input)};
  if (texts[0].empty()) texts.emplace_back();
  for (const std::string_view text : texts) {
    fuzz::testing(text.data() ? "read_number" : "read_number (null view)", text);
    const auto got = io_rs::read_number(text);
    const auto want = fuzz::reference_number(text);
    if (!want && got) fuzz::fail("accepted a text the grammar refuses", want.error(), fuzz::describe(*got));
    if (!want) fuzz::check_equal("refusal reason", want.error(), io_rs::number_error_reason(got.error()));
    if (want && !got) fuzz::fail("refused a number", fuzz::describe(*want), io_rs::number_error_reason(got.error()));
    if (want && !fuzz::same_double(*got, *want)) fuzz::fail("wrong value", fuzz::describe(*want), fuzz::describe(*got));
  }
  return 0;
}
