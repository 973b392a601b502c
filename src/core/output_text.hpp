// The text a formatter builds: a growable byte string, reserved once from the
// row count so that ordinary blocks never regrow, and appended to in place.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace io_rs {

class OutputText {
 public:
  OutputText() = default;
  OutputText(OutputText&& other) noexcept;
  OutputText& operator=(OutputText&& other) noexcept;
  OutputText(const OutputText&) = delete;
  OutputText& operator=(const OutputText&) = delete;
  ~OutputText();

  // Makes the capacity at least n bytes in all. Throws std::bad_alloc.
  void reserve(std::size_t n);

  // Room for n more bytes; returns where they go. Pair with commit().
  char* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }
  // Empties the text, keeping its memory for what comes next.
  void clear() noexcept { size_ = 0; }

  void append(std::string_view text) {
    if (text.empty()) return;  // nothing to copy, and maybe no buffer yet
    std::memcpy(room(text.size()), text.data(), text.size());
    size_ += text.size();
  }
  void append(char c) {
    *room(1) = c;
    ++size_;
  }
  void append_fill(char c, std::size_t n) {
    if (n == 0) return;
    std::memset(room(n), c, n);
    size_ += n;
  }

  std::string_view view() const noexcept { return {data_, size_}; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  void grow(std::size_t n);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// n * per_item + extra, or std::bad_alloc when that cannot be a size.
std::size_t checked_size(std::size_t n, std::size_t per_item, std::size_t extra = 0);

}  // namespace io_rs
