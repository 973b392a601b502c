// A read-only view of a two-dimensional array in place: element (i, j) lies
// at data + i * row_stride + j * col_stride, strides in bytes and of either
// sign, so sliced, transposed, reversed and broadcast arrays read in logical
// order. Elements are read with memcpy: the data need not be aligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace io_rs {

template <class T>
struct MatrixView {
  const std::byte* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;

  const std::byte* row(std::size_t i) const noexcept {
    return data + static_cast<std::ptrdiff_t>(i) * row_stride;
  }
  T at(const std::byte* row_start, std::size_t j) const noexcept {
    T value;
    std::memcpy(&value, row_start + static_cast<std::ptrdiff_t>(j) * col_stride, sizeof value);
    return value;
  }
  T at(std::size_t i, std::size_t j) const noexcept { return at(row(i), j); }
};

// A three-dimensional array in place, seen as a stack of matrices: frame f
// is the matrix at data + f * frame_stride.
template <class T>
struct StackView {
  const std::byte* data = nullptr;
  std::size_t frames = 0;
  std::ptrdiff_t frame_stride = 0;
  MatrixView<T> frame_shape;  // rows, columns and strides of every frame; data unused

  MatrixView<T> frame(std::size_t f) const noexcept {
    MatrixView<T> m = frame_shape;
    m.data = data + static_cast<std::ptrdiff_t>(f) * frame_stride;
    return m;
  }
};

// NumPy stores a bool as one byte; any non-zero byte counts as true.
using BoolMatrixView = MatrixView<std::uint8_t>;
using DoubleMatrixView = MatrixView<double>;
using DoubleStackView = StackView<double>;

}  // namespace io_rs
