// A list of short texts (the symbols a parser returns) in which a text that
// recurs is stored once: a block names few distinct elements, so each entry
// is a 4-byte index into the distinct texts, and the frame makes one str per
// distinct text for the whole list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace io_rs {

class TextList {
 public:
  void reserve(std::size_t count) { entries_.reserve(count); }

  // Appends an entry with the given text.
  void push_back(std::string_view text) {
    const Key key = key_of(text);
    // Symbols come in runs: the last text first, then the others seen lately.
    for (std::size_t j = 0; j < recent_count_; ++j) {
      if (recent_[j].key == key && (key.length <= 8 || distinct(recent_[j].index) == text)) {
        entries_.push_back(recent_[j].index);
        if (j != 0) std::swap(recent_[0], recent_[j]);
        return;
      }
    }
    const auto index = static_cast<std::uint32_t>(starts_.size());
    if (index == UINT32_MAX) throw std::bad_alloc();  // four thousand million distinct texts
    starts_.push_back(text_.size());
    text_.append(text);
    if (recent_count_ < kRecent) ++recent_count_;
    for (std::size_t j = recent_count_ - 1; j > 0; --j) recent_[j] = recent_[j - 1];
    recent_[0] = Recent{key, index};
    entries_.push_back(index);
  }

  std::size_t size() const noexcept { return entries_.size(); }
  std::string_view operator[](std::size_t i) const noexcept { return distinct(entries_[i]); }

  // The distinct texts, and which of them each entry holds.
  std::size_t distinct_count() const noexcept { return starts_.size(); }
  std::string_view distinct(std::size_t j) const noexcept {
    const std::size_t end = j + 1 < starts_.size() ? starts_[j + 1] : text_.size();
    return std::string_view(text_).substr(starts_[j], end - starts_[j]);
  }
  std::uint32_t index(std::size_t i) const noexcept { return entries_[i]; }

 private:
  // Texts of up to eight bytes compare as one word and their length; longer
  // ones by their first eight bytes and length, then in full.
  struct Key {
    std::uint64_t word = 0;
    std::size_t length = 0;
    bool operator==(const Key&) const = default;
  };
  static Key key_of(std::string_view text) noexcept {
    Key key{0, text.size()};
    const std::size_t n = text.size() < 8 ? text.size() : 8;
    for (std::size_t k = 0; k < n; ++k) key.word |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
    return key;
  }
  struct Recent {
    Key key;
    std::uint32_t index = 0;
  };
  static constexpr std::size_t kRecent = 16;

  std::string text_;                  // the distinct texts, end to end
  std::vector<std::size_t> starts_;   // where each distinct text starts
  std::vector<std::uint32_t> entries_;
  Recent recent_[kRecent];  // most recently used first
  std::size_t recent_count_ = 0;
};

}  // namespace io_rs
