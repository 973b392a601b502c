// Error messages are written once, as patterns with "{}" placeholders that are
// filled in order: texts verbatim, numbers in plain decimal.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace io_rs {

class MessageArg {
 public:
  MessageArg(std::string_view text) : text_(text) {}
  MessageArg(const char* text) : text_(text) {}
  MessageArg(const std::string& text) : text_(text) {}
  template <std::unsigned_integral N>
  MessageArg(N number) : number_(number), is_number_(true) {}

  void append_to(std::string& out) const;

 private:
  std::string_view text_;
  std::uint64_t number_ = 0;
  bool is_number_ = false;
};

// Replaces each "{}" of the pattern by the next argument.
std::string fill_message(std::string_view pattern, std::initializer_list<MessageArg> args);

}  // namespace io_rs
