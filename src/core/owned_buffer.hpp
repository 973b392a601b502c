// A malloc'd array that a parser fills and the frame hands to NumPy as the
// memory of a new array, without copying. Whoever ends up holding it releases
// it with release_buffer (core/large_pages.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "core/large_pages.hpp"

namespace io_rs {

template <class T>
class OwnedBuffer {
 public:
  OwnedBuffer() = default;

  // Room for count elements, left uninitialised unless zeroed. At least one
  // byte is always allocated so that an empty array still has its own memory.
  static OwnedBuffer allocate(std::size_t count, bool zeroed = false) {
    if (count > (~std::size_t{0}) / sizeof(T)) throw std::bad_alloc();
    std::size_t bytes = count == 0 ? 1 : count * sizeof(T);
    void* p = allocate_buffer(bytes, zeroed);
    if (p == nullptr) throw std::bad_alloc();
    OwnedBuffer b;
    b.data_ = static_cast<T*>(p);
    b.size_ = count;
    return b;
  }

  OwnedBuffer(OwnedBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  OwnedBuffer& operator=(OwnedBuffer&& other) noexcept {
    if (this != &other) {
      release_buffer(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  OwnedBuffer(const OwnedBuffer&) = delete;
  OwnedBuffer& operator=(const OwnedBuffer&) = delete;
  ~OwnedBuffer() { release_buffer(data_); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

  // Room for count elements, the first min(size, count) kept: for buffers
  // that grow as a reader finds more rows. Throws std::bad_alloc.
  void resize(std::size_t count) {
    if (count > (~std::size_t{0}) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count == 0 ? 1 : count * sizeof(T);
    void* p = reallocate_buffer(data_, std::min(count, size_) * sizeof(T), bytes);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    size_ = count;
  }

  // Gives up ownership; the caller must release_buffer the pointer.
  T* release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace io_rs

namespace io_rs {

// A row-major matrix in an owned buffer: what a parser hands back.
template <class T>
struct OwnedMatrix {
  OwnedBuffer<T> values;
  std::size_t rows = 0;
  std::size_t cols = 0;

  // Room for rows x cols elements; std::bad_alloc when that cannot be a size.
  static OwnedMatrix allocate(std::size_t rows, std::size_t cols, bool zeroed = false) {
    if (cols != 0 && rows > (~std::size_t{0}) / cols) throw std::bad_alloc();
    return OwnedMatrix{OwnedBuffer<T>::allocate(rows * cols, zeroed), rows, cols};
  }
};

}  // namespace io_rs
