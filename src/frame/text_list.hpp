// A list of short owned texts (the symbols a parser returns), stored end to
// end in one string: one allocation for all of them instead of one each.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace io_rs {

class TextList {
 public:
  void reserve(std::size_t count, std::size_t bytes_each) {
    ends_.reserve(count);
    text_.reserve(count * bytes_each);
  }
  // The text being built; end_entry() closes the current entry.
  std::string& text() noexcept { return text_; }
  void end_entry() { ends_.push_back(text_.size()); }

  std::size_t size() const noexcept { return ends_.size(); }
  std::string_view operator[](std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(start, ends_[i] - start);
  }

 private:
  std::string text_;
  std::vector<std::size_t> ends_;
};

}  // namespace io_rs
