// _io_rs_buffers: whole files read straight from their bytes, and whole
// trajectories written in one call. One row per function, in the order
// they are added to the module and listed in __all__.
#pragma once

#include <Python.h>

#include <span>

#include "python/binding.hpp"
#include "python/module_init.hpp"

namespace io_rs::buffers {

std::span<const py::FunctionRow> function_table() noexcept;

// Entry shims, METH_FASTCALL | METH_KEYWORDS.
PyObject* read_poscar_block(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* read_xdatcar_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* index_xdatcar_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* read_xyz_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* index_xyz_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_xdatcar_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_xyz_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* read_extxyz_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* parse_extxyz_comment(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_extxyz_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* scan_poscar(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* scan_xdatcar_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* scan_xyz_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* scan_vasprun(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* scan_outcar_steps(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* read_outcar_tables(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

extern const py::FunctionDescription kReadPoscarBlock;
extern const py::FunctionDescription kReadXdatcarFrames;
extern const py::FunctionDescription kIndexXdatcarFrames;
extern const py::FunctionDescription kReadXyzFrames;
extern const py::FunctionDescription kIndexXyzFrames;
extern const py::FunctionDescription kFormatXdatcarFrames;
extern const py::FunctionDescription kFormatXyzFrames;
extern const py::FunctionDescription kReadExtxyzFrames;
extern const py::FunctionDescription kParseExtxyzComment;
extern const py::FunctionDescription kFormatExtxyzFrames;
extern const py::FunctionDescription kScanPoscar;
extern const py::FunctionDescription kScanXdatcarFrames;
extern const py::FunctionDescription kScanXyzFrames;
extern const py::FunctionDescription kScanVasprun;

// LAMMPS dumps (lammps_shims.cpp, which holds their descriptions and docstrings).
PyObject* scan_lammps_dump(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* read_lammps_dump_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* format_lammps_dump_frames(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
extern const py::FunctionDescription kScanLammpsDump;
extern const py::FunctionDescription kReadLammpsDumpFrames;
extern const py::FunctionDescription kFormatLammpsDumpFrames;
extern const char* const kScanLammpsDumpDocText;
extern const char* const kReadLammpsDumpFramesDocText;
extern const char* const kFormatLammpsDumpFramesDocText;
extern const py::FunctionDescription kScanOutcarSteps;
extern const py::FunctionDescription kReadOutcarTables;

}  // namespace io_rs::buffers
