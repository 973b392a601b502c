// FieldSplitter against the plain field rule: the same fields, in order, as
// views into the line itself at the same places, and nothing after the last.
#include <cstdint>
#include <string>
#include <string_view>

#include "frame/fields.hpp"
#include "support/check.hpp"
#include "support/reference_fields.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto want = fuzz::reference_fields(line);

  io_rs::FieldSplitter splitter(line);
  for (std::size_t k = 0; k < want.size(); ++k) {
    const std::string_view field = splitter.next();
    if (field.data() != want[k].data() || field.size() != want[k].size())
      fuzz::mismatch(("field " + std::to_string(k)).c_str(), line, want[k], field);
  }
  // Once the line is used up it stays used up.
  for (int again = 0; again < 2; ++again) {
    const std::string_view extra = splitter.next();
    if (!extra.empty()) fuzz::mismatch("field after the last", line, "", extra);
  }
  return 0;
}
