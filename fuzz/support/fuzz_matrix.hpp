// Strided matrices for the formatters, in every layout an array can have:
// C order, Fortran order, reversed rows, broadcast rows or columns, and
// arbitrary (overlapping, negative, misaligned) byte strides. The backing
// allocation covers exactly the bytes of rows x readable columns, so
// AddressSanitizer reports a formatter that reads any other element, a
// column it must leave alone included.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include <fuzzer/FuzzedDataProvider.h>

#include "frame/matrix_view.hpp"
#include "fuzz_values.hpp"

namespace fuzz {

template <class T>
struct FuzzMatrix {
  std::unique_ptr<std::byte[]> storage;
  io_rs::MatrixView<T> view;
};

template <class T>
FuzzMatrix<T> make_matrix(FuzzedDataProvider& in, std::size_t rows, std::size_t cols,
                          std::size_t readable_cols) {
  constexpr auto e = static_cast<std::ptrdiff_t>(sizeof(T));
  const auto r = static_cast<std::ptrdiff_t>(rows);
  const auto c = static_cast<std::ptrdiff_t>(cols);
  std::ptrdiff_t row_stride = c * e, col_stride = e;
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: break;                                      // C order
    case 1: row_stride = e; col_stride = r * e; break;  // Fortran order, a transpose's layout
    case 2: row_stride = -c * e; break;                 // rows reversed
    case 3: row_stride = 0; break;                      // one row broadcast
    case 4: col_stride = 0; break;                      // one value broadcast along each row
    default:
      row_stride = in.ConsumeIntegralInRange<std::ptrdiff_t>(-64, 64);
      col_stride = in.ConsumeIntegralInRange<std::ptrdiff_t>(-64, 64);
  }

  readable_cols = std::min(readable_cols, cols);
  std::ptrdiff_t low = 0, high = 0;  // byte range touched, relative to element (0, 0)
  if (rows > 0 && readable_cols > 0) {
    const auto last_row = (r - 1) * row_stride;
    const auto last_col = (static_cast<std::ptrdiff_t>(readable_cols) - 1) * col_stride;
    low = std::min<std::ptrdiff_t>(0, last_row) + std::min<std::ptrdiff_t>(0, last_col);
    high = std::max<std::ptrdiff_t>(0, last_row) + std::max<std::ptrdiff_t>(0, last_col) + e;
  }
  const auto bytes = static_cast<std::size_t>(high - low);
  FuzzMatrix<T> m{std::unique_ptr<std::byte[]>(new std::byte[bytes]), {}};
  for (std::size_t at = 0; at < bytes; at += sizeof(T)) {
    T value;
    if constexpr (sizeof(T) == sizeof(double))
      value = fuzz_double(in);
    else
      value = in.ConsumeIntegral<T>();
    std::memcpy(m.storage.get() + at, &value, std::min(sizeof(T), bytes - at));
  }
  m.view = io_rs::MatrixView<T>{m.storage.get() - low, rows, cols, row_stride, col_stride};
  return m;
}

// Element (i, j) read the way a NumPy user would define it.
template <class T>
T element(const io_rs::MatrixView<T>& v, std::size_t i, std::size_t j) {
  T value;
  std::memcpy(&value, v.data + static_cast<std::ptrdiff_t>(i) * v.row_stride + static_cast<std::ptrdiff_t>(j) * v.col_stride,
              sizeof value);
  return value;
}

}  // namespace fuzz
