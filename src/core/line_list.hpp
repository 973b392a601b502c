// The lines a parser reads (or the symbols a formatter writes): N items and
// the function that yields the UTF-8 text of one. The frame fills it with the
// Python strings themselves, so the text is read where the interpreter keeps
// it and never copied; tests and benchmarks fill it with plain views.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace io_rs {

class LineList {
 public:
  using TextOf = std::string_view (*)(const void* item) noexcept;

  LineList(std::span<const void* const> items, TextOf text_of) noexcept
      : items_(items), text_of_(text_of) {}

  std::size_t size() const noexcept { return items_.size(); }
  std::string_view operator[](std::size_t i) const noexcept { return text_of_(items_[i]); }

 private:
  std::span<const void* const> items_;
  TextOf text_of_;
};

// Owns a copy of the given views and lends them out as a LineList.
class PlainLines {
 public:
  PlainLines() = default;
  explicit PlainLines(std::vector<std::string_view> texts) : texts_(std::move(texts)) {
    items_.reserve(texts_.size());
    for (const auto& t : texts_) items_.push_back(&t);
  }
  PlainLines(const PlainLines&) = delete;
  PlainLines& operator=(const PlainLines&) = delete;

  LineList list() const noexcept { return LineList(items_, &text_of); }

 private:
  static std::string_view text_of(const void* item) noexcept {
    return *static_cast<const std::string_view*>(item);
  }
  std::vector<std::string_view> texts_;
  std::vector<const void*> items_;
};

}  // namespace io_rs
