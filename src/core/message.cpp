#include "core/message.hpp"

#include <charconv>

namespace io_rs {

void MessageArg::append_to(std::string& out) const {
  if (!is_number_) {
    out += text_;
    return;
  }
  char digits[20];
  auto result = std::to_chars(digits, digits + sizeof digits, number_);
  out.append(digits, result.ptr);
}

std::string fill_message(std::string_view pattern, std::initializer_list<MessageArg> args) {
  std::string out;
  const MessageArg* arg = args.begin();
  std::size_t start = 0;
  for (;;) {
    std::size_t hole = pattern.find("{}", start);
    if (hole == std::string_view::npos || arg == args.end()) break;
    out += pattern.substr(start, hole - start);
    (arg++)->append_to(out);
    start = hole + 2;
  }
  out += pattern.substr(start);
  return out;
}

}  // namespace io_rs
