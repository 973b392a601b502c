// Turning a routine's results into Python objects. Each builder returns a new
// reference, or null with an exception set (an out-of-memory error as it is,
// any other failure as the internal-error exception).
#pragma once

#include <Python.h>

#include <cstdint>

#include "frame/output_text.hpp"
#include "frame/owned_buffer.hpp"
#include "frame/py_ref.hpp"
#include "frame/text_list.hpp"

namespace io_rs::py {

// A new C-ordered, writeable NumPy array whose memory is the matrix's own
// buffer, not a copy. The array's base, a PySliceContainer, frees the
// buffer when the array dies.
Ref from_owned_array(OwnedMatrix<double>&& matrix);
Ref from_owned_array(OwnedMatrix<std::uint8_t>&& flags);  // a bool array

// A list of str, in order; entries with the same text share one str.
Ref text_list_result(const TextList& texts);

// A str of the output text. ascii says that every byte is below 0x80.
Ref text_result(const OutputText& text, bool ascii);

// A tuple of two, taking over both references.
Ref pair_result(Ref first, Ref second);

}  // namespace io_rs::py
