// Fuzzer input cut at LF into the lines a parser is handed, as a file's
// lines are (so no line holds LF itself; the field harness covers LF inside
// a line). Each line gets a heap block of exactly its own length, so that
// AddressSanitizer reports a parser that reads one byte past a line's end.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "frame/line_list.hpp"

namespace fuzz {

class InputLines {
 public:
  InputLines(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> views;
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = all.find('\n', start);
      const std::string_view line = all.substr(start, end == std::string_view::npos ? all.npos : end - start);
      blocks_.emplace_back(new char[line.size()]);
      std::memcpy(blocks_.back().get(), line.data(), line.size());
      views.emplace_back(blocks_.back().get(), line.size());
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
    // Like a file: a final LF ends the last line rather than starting another.
    if (size == 0 || all.back() == '\n') views.pop_back();
    lines_.emplace(std::move(views));
  }

  io_rs::LineList list() const { return lines_->list(); }
  std::string_view operator[](std::size_t i) const { return lines_->list()[i]; }
  std::size_t size() const { return lines_->list().size(); }

 private:
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::optional<io_rs::PlainLines> lines_;
};

}  // namespace fuzz
