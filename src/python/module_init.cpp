#include "python/module_init.hpp"

#include <string>
#include <vector>

#include "python/exceptions.hpp"
#include "core/message.hpp"
#include "python/py_ref.hpp"

namespace io_rs::py {
namespace {

std::string docstring(const FunctionRow& row) {
  std::string doc = row.description.name;
  doc += '(';
  bool first = true;
  for (const Parameter& p : row.description.parameters) {
    if (!first) doc += ", ";
    if (p.keyword_only && (first || !row.description.parameters[&p - row.description.parameters.data() - 1].keyword_only))
      doc += "*, ";
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

PyMethodDef* method_definitions(ModuleState& state) {
  if (state.methods == nullptr) {
    auto* docs = new std::vector<std::string>();  // what the definitions' doc pointers point into
    auto* defs = new std::vector<PyMethodDef>();
    docs->reserve(state.table.size());
    for (const FunctionRow& row : state.table) {
      docs->push_back(docstring(row));
      defs->push_back(PyMethodDef{row.description.name, reinterpret_cast<PyCFunction>(row.shim),
                                  METH_FASTCALL | METH_KEYWORDS, docs->back().c_str()});
    }
    state.methods = defs->data();
  }
  return state.methods;
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
    set_error(PyExc_TypeError, fill_message("'{}' object cannot be converted to 'PyList'", {type_name_of(all.get())}));
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
    set_error(PyExc_TypeError, fill_message("'{}' object cannot be converted to 'PyString'", {type_name_of(name.get())}));
    return false;
  }
  Ref all = all_list(module);
  if (!all) return false;
  return PyList_Append(all.get(), name.get()) == 0 && PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

PyObject* create(ModuleState& state) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!state.recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters yet: it can be imported by one interpreter per process "
                 "(see the section on sub-interpreters in the project's README)",
                 state.definition->m_name);
    return nullptr;
  }
  if (state.cache != nullptr) return Py_NewRef(state.cache);

  Ref module = Ref::steal(PyModule_Create2(state.definition, 1013));
  if (!module) return nullptr;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  PyMethodDef* definitions = method_definitions(state);
  for (std::size_t i = 0; i < state.table.size(); ++i) {
    if (!add_function(module.get(), module_name.get(), &definitions[i])) return nullptr;
  }
  state.cache = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

PyObject* create_module(ModuleState& state) noexcept {
  return contain([&] { return create(state); });
}

}  // namespace io_rs::py
