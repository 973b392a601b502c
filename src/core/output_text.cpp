#include "core/output_text.hpp"

#include <cstdlib>
#include <new>
#include <utility>

namespace io_rs {

OutputText::OutputText(OutputText&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

OutputText& OutputText::operator=(OutputText&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

OutputText::~OutputText() { std::free(data_); }

void OutputText::reserve(std::size_t n) {
  if (n <= capacity_) return;
  void* p = std::realloc(data_, n);
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  capacity_ = n;
}

void OutputText::grow(std::size_t n) {
  const std::size_t needed = checked_size(1, size_, n);
  std::size_t doubled = capacity_ > (~std::size_t{0}) / 2 ? needed : capacity_ * 2;
  reserve(doubled > needed ? doubled : needed);
}

std::size_t checked_size(std::size_t n, std::size_t per_item, std::size_t extra) {
  constexpr std::size_t kMost = ~std::size_t{0};
  if (per_item != 0 && n > kMost / per_item) throw std::bad_alloc();
  if (n * per_item > kMost - extra) throw std::bad_alloc();
  return n * per_item + extra;
}

}  // namespace io_rs
