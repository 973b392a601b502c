// The module's functions: one row each, in the order they are added to the
// module and listed in __all__. A row is all it takes to add a function.
#pragma once

#include <Python.h>

#include <span>

#include "python/binding.hpp"
#include "python/module_init.hpp"

namespace io_rs::module {

using py::FunctionRow;

std::span<const FunctionRow> function_table() noexcept;

// Entry shims, METH_FASTCALL | METH_KEYWORDS.
PyObject* parse_poscar_positions(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_poscar_positions(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_xdatcar_coords(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_xdatcar_config(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_xyz_block(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_xyz_block(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

extern const py::FunctionDescription kParsePoscarPositions;
extern const py::FunctionDescription kFormatPoscarPositions;
extern const py::FunctionDescription kParseXdatcarCoords;
extern const py::FunctionDescription kFormatXdatcarConfig;
extern const py::FunctionDescription kParseXyzBlock;
extern const py::FunctionDescription kFormatXyzBlock;

}  // namespace io_rs::module
