#include "python/exceptions.hpp"

#include <string>

#include "python/py_ref.hpp"

namespace io_rs::py {
namespace {

constexpr const char* kInternalErrorDoc =
    "A call of this module ended in a state that none of its checks turns into\n"
    "an ordinary error, such as a read past the last column of an input array.\n"
    "It derives from BaseException, not Exception, so that generic handlers\n"
    "do not hide it. The module stays usable: the next call works normally.";

// Created on first use, under the interpreter lock, and kept for the process.
PyObject* internal_error_class() noexcept {
  static PyObject* cls = nullptr;
  if (cls == nullptr) cls = PyErr_NewExceptionWithDoc(kInternalErrorName, kInternalErrorDoc, PyExc_BaseException, nullptr);
  return cls;
}

}  // namespace

void set_error(PyObject* type, std::string_view message) noexcept {
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

void raise_internal(std::string_view message) noexcept {
  PyObject* cls = internal_error_class();
  if (cls == nullptr) return;  // its creation set an error of its own
  if (!message.empty()) return set_error(cls, message);
  // "internal error in _io_rs": the module's name is the class name's first part.
  const std::string_view name = kInternalErrorName;
  PyErr_Format(cls, "internal error in %.*s", static_cast<int>(name.rfind('.')), name.data());
}

PyObject* raise(const Error& error) noexcept {
  if (error.kind == ErrorKind::Value)
    set_error(PyExc_ValueError, error.message());
  else
    raise_internal(error.message());
  return nullptr;
}

PyObject* result_build_failed() noexcept {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
  if (PyErr_Occurred()) PyErr_Print();
  raise_internal("Python API call failed");
  return nullptr;
}

std::string type_name_of(PyObject* o) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
  if (name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text != nullptr) return std::string(text, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

}  // namespace io_rs::py
