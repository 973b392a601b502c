// NumPy's C API, reached through the table in the `_ARRAY_API` capsule of
// NumPy's multiarray module. Nothing of NumPy is touched at import: the table
// is loaded by the first call that needs it and kept for the process.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL io_rs_numpy_api_table
#ifndef IO_RS_DEFINE_NUMPY_API_TABLE
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace io_rs::py {

// True once the table is loaded. Otherwise false, with the internal-error
// exception set ("Failed to access NumPy array API capsule: ..."); the next
// call tries again.
bool numpy_ready() noexcept;

// Whether the table is already loaded: then array conversions run no Python code.
bool numpy_loaded() noexcept;

}  // namespace io_rs::py
