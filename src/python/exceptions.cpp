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

namespace {

Ref text_or_none(std::string_view text) noexcept {
  if (text.empty()) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

Ref number_or_none(bool present, std::uint64_t value) noexcept {
  return present ? Ref::steal(PyLong_FromUnsignedLongLong(value)) : Ref::borrow(Py_None);
}

// The error's parts as attributes of the raised ValueError, so that callers
// compose messages of their own (with a file's name) without reading ours.
bool set_parts(PyObject* exception, const Error& error) noexcept {
  const bool placed = error.place.has_value();
  const Place place = error.place.value_or(Place{});
  const std::pair<const char*, Ref> parts[] = {
      {"format", text_or_none(error.format)},
      {"problem", text_or_none(error.problem)},
      {"field", text_or_none(error.field)},
      {"expected", text_or_none(error.expected)},
      {"found", text_or_none(error.found)},
      {"line", number_or_none(placed, place.line)},
      {"byte", number_or_none(placed, place.byte)},
      {"frame", number_or_none(placed && place.frame != 0, place.frame)},
  };
  for (const auto& [name, value] : parts) {
    if (!value || PyObject_SetAttrString(exception, name, value.get()) < 0) return false;
  }
  return true;
}

}  // namespace

PyObject* raise(const Error& error) noexcept {
  if (error.kind != ErrorKind::Value) {
    raise_internal(error.message());
    return nullptr;
  }
  const std::string message = error.message();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return nullptr;
  Ref exception = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, text.get()));
  if (!exception) return nullptr;
  if (!error.format.empty() && !set_parts(exception.get(), error)) return nullptr;
  PyErr_SetRaisedException(exception.release());
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
