// Initialisation of _io_rs_buffers: the functions of its table.
#include <Python.h>

#include "functions.hpp"
#include "python/exceptions.hpp"
#include "python/module_init.hpp"

namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_io_rs_buffers",
    "Readers that take a whole file's bytes and writers of whole trajectories, built on the\n"
    "same field splitting, number reading and number writing as _io_rs.",
    0,        // no per-module state
    nullptr,  // the functions are added by create_module()
    nullptr, nullptr, nullptr, nullptr,
};

io_rs::py::ModuleState state{&definition, io_rs::buffers::function_table()};

}  // namespace

const char* const io_rs::py::kInternalErrorName = "_io_rs_buffers.InternalError";

PyMODINIT_FUNC PyInit__io_rs_buffers(void) { return io_rs::py::create_module(state); }
