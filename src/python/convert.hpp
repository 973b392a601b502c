// Converting arguments into the plain data the routines work on. Each
// converter returns the converted input, or nothing with the Python exception
// set and already wrapped with the parameter's name.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/line_list.hpp"
#include "core/matrix_view.hpp"
#include "python/py_ref.hpp"

namespace io_rs::py {

// Wraps the pending exception for the parameter: a TypeError (exactly) is
// replaced by TypeError "argument '{p}': {message}" with the same __cause__;
// every other exception passes unchanged.
void argument_extraction_error(const char* parameter) noexcept;

// How the converted lines hold the strings. Borrowed reads a list's or
// tuple's own item array under one reference to the container, which is safe
// only when no Python code can run before the routine has finished with the
// lines; Owned takes a reference to every string.
enum class Hold : unsigned char { Borrowed, Owned };

// A sequence of str, held, and lent to routines as a LineList that reads
// each string's UTF-8 text where the interpreter keeps it.
class LineRefs {
 public:
  LineRefs() = default;
  LineRefs(LineRefs&&) noexcept = default;
  LineRefs& operator=(LineRefs&&) noexcept = default;
  ~LineRefs();

  LineList list() const noexcept;

 private:
  friend std::optional<LineRefs> convert_lines(PyObject*, const char*, Hold);
  Ref container_;                 // Borrowed: the list or tuple whose items are read
  std::vector<PyObject*> owned_;  // Owned: one reference per string
  PyObject* const* items_ = nullptr;
  std::size_t size_ = 0;
};

// Any sequence of str (a str itself refused), every element converted before
// the routine sees the first.
std::optional<LineRefs> convert_lines(PyObject* o, const char* parameter, Hold hold);

// True or False, or a NumPy boolean scalar.
std::optional<bool> convert_flag(PyObject* o, const char* parameter);

// An int, or anything with __index__, from 0 to 2**64 - 1.
std::optional<std::uint64_t> convert_unsigned(PyObject* o, const char* parameter);

// A two-dimensional NumPy array of the given element type, held for reading:
// a reference of its own keeps it alive, and the module never writes to it.
// The view of its data is taken when the routine is about to run, after
// every argument has been converted: a later conversion may run Python code
// (an __index__ method, say) that reshapes or reallocates the array. The
// array is checked again then, and refused as at conversion if it changed.
class ArrayHold {
 public:
  template <class T>
  std::optional<MatrixView<T>> view() const;

 private:
  friend std::optional<ArrayHold> convert_matrix(PyObject*, const char*, int);
  Ref array_;
  const char* parameter_ = nullptr;
  int type_num_ = 0;
};

// type_num is NPY_DOUBLE, NPY_BOOL or NPY_INT64.
std::optional<ArrayHold> convert_matrix(PyObject* o, const char* parameter, int type_num);

// A three-dimensional float64 array, seen as a stack of matrices.
class StackHold {
 public:
  std::optional<StackView<double>> view() const;

 private:
  friend std::optional<StackHold> convert_stack(PyObject*, const char*);
  Ref array_;
  const char* parameter_ = nullptr;
};
std::optional<StackHold> convert_stack(PyObject* o, const char* parameter);

// The bytes of an object with a contiguous byte buffer (bytes, bytearray,
// memoryview, mmap), held for reading until the hold dies. Not movable: the
// buffer's exporter may keep pointers into the Py_buffer.
class BufferHold {
 public:
  BufferHold() = default;
  BufferHold(const BufferHold&) = delete;
  BufferHold& operator=(const BufferHold&) = delete;
  ~BufferHold();

  // Takes the buffer; false with the argument error set when o has none.
  bool take(PyObject* o, const char* parameter);
  std::string_view bytes() const noexcept {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  // Whether the buffer is a file mapped into memory (an mmap.mmap): its
  // pages are worth mapping in ahead of a whole read (page_populate.hpp).
  bool mapped() const noexcept { return mapped_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  bool mapped_ = false;
};

// None, or what convert_unsigned takes.
struct OptionalCount {
  std::optional<std::uint64_t> value;
};
std::optional<OptionalCount> convert_optional_unsigned(PyObject* o, const char* parameter);

// A sequence of what convert_unsigned takes (a list of ints, an int array).
std::optional<std::vector<std::uint64_t>> convert_counts(PyObject* o, const char* parameter);

// The writers' `decimals` (None or 0 to 1000): its value, if any, or nothing
// with the error set, named after `function`.
struct Decimals {
  std::optional<std::uint16_t> value;
};
std::optional<Decimals> convert_decimals(PyObject* o, const char* function);

// The writers' `write` (None or a callable): the callable or nullptr, or
// nothing with the error set, named after `function`.
std::optional<PyObject*> convert_write(PyObject* o, const char* function);

}  // namespace io_rs::py
