// Binding the arguments of a call to a function's parameters, with the
// interpreter's own messages for a wrong count or an unknown name.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

namespace io_rs::py {

struct Parameter {
  const char* name;
  // The default as the text signature shows it, or null when required.
  const char* default_text = nullptr;
  // Given by keyword only (after "*" in the signature); such parameters
  // come last.
  bool keyword_only = false;
};

// Everything binding needs to know of one module function. Every parameter
// can be given by position or by keyword unless it is keyword-only; the
// required ones come first.
struct FunctionDescription {
  const char* name;
  std::span<const Parameter> parameters;
  std::size_t required;

  // How many parameters a call may fill by position.
  std::size_t positional() const noexcept {
    std::size_t count = 0;
    while (count < parameters.size() && !parameters[count].keyword_only) ++count;
    return count;
  }
};

// Fills slots (one per parameter, initially null) with borrowed references
// to the arguments of a METH_FASTCALL | METH_KEYWORDS call. Returns false
// with TypeError set when the arguments do not bind.
bool extract_arguments_fastcall(const FunctionDescription& description, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept;

}  // namespace io_rs::py
