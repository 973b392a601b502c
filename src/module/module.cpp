// Module initialisation: one module object per process, made by the first
// interpreter that imports it and handed out again on later imports.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/errors.hpp"
#include "frame/message.hpp"
#include "frame/py_ref.hpp"
#include "module/functions.hpp"

namespace io_rs::module {
namespace {

using py::Ref;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_io_rs",
    "",       // __doc__ is an empty str, not None
    0,        // no per-module state
    nullptr,  // the functions are added by initialise()
    nullptr, nullptr, nullptr, nullptr,
};

// The module keeps process-wide state (the NumPy table, the holder type, the
// exception class), so it belongs to the first interpreter that imports it.
std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* module_cache = nullptr;

// "name(parameters)\n--\n\n" followed by the docstring: CPython turns the
// first part into __text_signature__, so inspect.signature sees the same
// parameters that binding uses.
std::string docstring(const FunctionRow& row) {
  std::string doc = row.description.name;
  doc += '(';
  bool first = true;
  for (const py::Parameter& p : row.description.parameters) {
    if (!first) doc += ", ";
    first = false;
    doc += p.name;
    if (p.default_text != nullptr) {
      doc += '=';
      doc += p.default_text;
    }
  }
  doc += ")\n--\n\n";
  doc += row.doc;
  return doc;
}

// The method definitions must outlive every function object made from them,
// which is the rest of the process: built once and never freed.
PyMethodDef* method_definitions() {
  struct Definitions {
    std::vector<std::string> docs;  // what the definitions' doc pointers point into
    std::vector<PyMethodDef> defs;
  };
  static Definitions* built = nullptr;
  if (built == nullptr) {
    auto table = function_table();
    auto* definitions = new Definitions();
    definitions->docs.reserve(table.size());
    for (const FunctionRow& row : table) {
      definitions->docs.push_back(docstring(row));
      definitions->defs.push_back(PyMethodDef{row.description.name, reinterpret_cast<PyCFunction>(row.shim),
                                              METH_FASTCALL | METH_KEYWORDS, definitions->docs.back().c_str()});
    }
    built = definitions;
  }
  return built->defs.data();
}

// __all__, created as an empty list when the module has none yet.
Ref all_list(PyObject* module) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
  }
  if (!PyList_Check(all.get())) {
    py::set_error(PyExc_TypeError, fill_message("'{}' object cannot be converted to 'PyList'",
                                                {py::type_name_of(all.get())}));
    return {};
  }
  return all;
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* definition) {
  Ref function = Ref::steal(PyCMethod_New(definition, module, module_name, nullptr));
  if (!function) return false;
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    py::set_error(PyExc_TypeError, fill_message("'{}' object cannot be converted to 'PyString'",
                                                {py::type_name_of(name.get())}));
    return false;
  }
  Ref all = all_list(module);
  if (!all) return false;
  return PyList_Append(all.get(), name.get()) == 0 && PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

bool initialise(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyMethodDef* definitions = method_definitions();
  for (std::size_t i = 0; i < function_table().size(); ++i) {
    if (!add_function(module, module_name.get(), &definitions[i])) return false;
  }
  return true;
}

PyObject* create_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "_io_rs does not support sub-interpreters yet: it can be imported by one "
                    "interpreter per process (see the section on sub-interpreters in the "
                    "project's README)");
    return nullptr;
  }
  if (module_cache != nullptr) return Py_NewRef(module_cache);

  Ref module = Ref::steal(PyModule_Create2(&module_definition, 1013));
  if (!module || !initialise(module.get())) return nullptr;
  module_cache = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace io_rs::module

PyMODINIT_FUNC PyInit__io_rs(void) {
  return io_rs::py::contain([] { return io_rs::module::create_module(); });
}
