// A list of short texts (the symbols a parser returns) in which a text that
// recurs is stored once: a block names few distinct elements, so each entry
// is a 4-byte index into the distinct texts, found through a small hash
// table, and the frame makes one str per distinct text for the whole list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace io_rs {

class InternedTexts {
 public:
  void reserve(std::size_t count) { entries_.reserve(count); }

  // Appends an entry with the given text.
  void push_back(std::string_view text) { entries_.push_back(intern(text)); }
  // The same for a text of at most eight bytes whose bytes, in order from
  // the lowest, are those of word (the bytes above them zero).
  void push_back_short(std::string_view text, std::uint64_t word) {
    entries_.push_back(intern(Key{word, text.size()}, text));
  }

  // Appends every entry of other, in order: lists read on threads, each a
  // part of the file, are joined this way into the list one thread reads.
  void append(const InternedTexts& other) {
    std::vector<std::uint32_t> mapped(other.distinct_count());
    for (std::size_t j = 0; j < mapped.size(); ++j) mapped[j] = intern(other.distinct(j));
    entries_.reserve(entries_.size() + other.entries_.size());
    for (const std::uint32_t entry : other.entries_) entries_.push_back(mapped[entry]);
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
    std::size_t hash() const noexcept {
      return static_cast<std::size_t>(((word ^ length) * 0x9E3779B97F4A7C15ull) >> 40);
    }
  };
  static Key key_of(std::string_view text) noexcept {
    Key key{0, text.size()};
    const std::size_t n = text.size() < 8 ? text.size() : 8;
    for (std::size_t k = 0; k < n; ++k) key.word |= std::uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
    return key;
  }
  static constexpr std::uint32_t kEmpty = UINT32_MAX;
  static constexpr std::size_t kFirstSlots = 64;
  struct Slot {
    Key key;
    std::uint32_t index = kEmpty;
  };

  // The index of the distinct text, added when new.
  std::uint32_t intern(std::string_view text) { return intern(key_of(text), text); }
  std::uint32_t intern(const Key key, std::string_view text) {
    if (slots_.empty()) slots_.assign(kFirstSlots, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = key.hash() & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.index == kEmpty) {
        const std::uint32_t index = add_distinct(text);
        slot = Slot{key, index};
        if (2 * distinct_count() > slots_.size()) grow();
        return index;
      }
      if (slot.key == key && (key.length <= 8 || distinct(slot.index) == text)) return slot.index;
    }
  }

  std::uint32_t add_distinct(std::string_view text) {
    const auto index = static_cast<std::uint32_t>(starts_.size());
    if (index == kEmpty - 1) throw std::bad_alloc();  // four thousand million distinct texts
    starts_.push_back(text_.size());
    text_.append(text);
    return index;
  }

  // Twice the slots, every distinct text placed again.
  void grow() {
    std::vector<Slot> old(slots_.size() * 2, Slot{});
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.index == kEmpty) continue;
      std::size_t at = slot.key.hash() & mask;
      while (slots_[at].index != kEmpty) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  std::string text_;                 // the distinct texts, end to end
  std::vector<std::size_t> starts_;  // where each distinct text starts
  std::vector<std::uint32_t> entries_;
  std::vector<Slot> slots_;          // open addressing, at most half full
};

}  // namespace io_rs
