// Creating an extension module of this project from its function table:
// one module object per process, made by the first interpreter that imports
// it and handed out again on later imports. Each module keeps process-wide
// state (the NumPy table, the array holder type, the exception class), so a
// second interpreter of the process is refused.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <span>

#include "python/binding.hpp"

namespace io_rs::py {

// A METH_FASTCALL | METH_KEYWORDS entry point (CPython names this type only from 3.13 on).
using FastcallShim = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// One function of a module: a row is all it takes to add one.
struct FunctionRow {
  const FunctionDescription& description;  // name and parameters, for binding and the signature
  FastcallShim shim;
  const char* doc;  // the docstring below its signature line
};

// What a module keeps for the process. The definition and the table are
// the module's own; the rest starts empty.
struct ModuleState {
  PyModuleDef* definition;
  std::span<const FunctionRow> table;
  std::atomic<std::int64_t> recorded_interpreter{-1};
  PyObject* cache = nullptr;
  PyMethodDef* methods = nullptr;  // built once, never freed: function objects point into it
};

// The body of a PyInit function: the cached module, or a new one with the
// table's functions added in order and their names in __all__. Each
// docstring starts with "name(parameters)\n--\n\n", which CPython turns into
// __text_signature__, so inspect.signature sees what binding uses.
PyObject* create_module(ModuleState& state) noexcept;

}  // namespace io_rs::py
