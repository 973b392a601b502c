// Initialisation of _io_rs: the six functions of its table.
#include <Python.h>

#include "python/exceptions.hpp"
#include "python/module_init.hpp"
#include "functions.hpp"

namespace {

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_io_rs",
    "",       // __doc__ is an empty str, not None
    0,        // no per-module state
    nullptr,  // the functions are added by create_module()
    nullptr, nullptr, nullptr, nullptr,
};

io_rs::py::ModuleState state{&definition, io_rs::module::function_table()};

}  // namespace

const char* const io_rs::py::kInternalErrorName = "_io_rs.InternalError";

PyMODINIT_FUNC PyInit__io_rs(void) { return io_rs::py::create_module(state); }
