// Turning a routine's results into Python objects. Each builder returns a new
// reference, or null with an exception set (an out-of-memory error as it is,
// any other failure as the internal-error exception).
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "core/output_text.hpp"
#include "core/owned_buffer.hpp"
#include "python/py_ref.hpp"
#include "core/interned_texts.hpp"

namespace io_rs::py {

// A new C-ordered, writeable NumPy array whose memory is the matrix's own
// buffer, not a copy. The array's base, a PySliceContainer, frees the
// buffer when the array dies.
Ref from_owned_array(OwnedMatrix<double>&& matrix);
Ref from_owned_array(OwnedMatrix<std::uint8_t>&& flags);  // a bool array

// A new C-ordered, writeable array of the given shape (one to three
// dimensions) whose memory is the buffer's own, as above; type_num is
// NPY_DOUBLE, NPY_BOOL or NPY_INT64, matching T.
template <class T>
Ref from_owned_buffer(OwnedBuffer<T>&& buffer, std::initializer_list<std::size_t> shape, int type_num);

// A list of str made from UTF-8 texts, in order.
Ref text_views_result(std::span<const std::string_view> texts);

// bytes holding the output text.
Ref bytes_result(const OutputText& text);

// An int for a size or an offset.
Ref size_result(std::size_t value);

// A tuple taking over every reference given.
Ref tuple_result(std::initializer_list<Ref*> items);

// A list of str, in order: texts, then each of more; entries of one part
// with the same text share one str.
Ref text_list_result(const InternedTexts& texts, std::span<const InternedTexts> more = {});

// A str of the output text. ascii says that every byte is below 0x80.
Ref text_result(const OutputText& text, bool ascii);

// A tuple of two, taking over both references.
Ref pair_result(Ref first, Ref second);

}  // namespace io_rs::py
