#define IO_RS_DEFINE_NUMPY_API_TABLE
#include "python/numpy_api.hpp"

#include <string>

#include "python/exceptions.hpp"
#include "core/message.hpp"
#include "python/py_ref.hpp"

namespace io_rs::py {
namespace {

// The multiarray module lives in numpy.core before NumPy 2 and in
// numpy._core from then on.
Ref import_multiarray() {
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return {};
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return {};
  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) return {};
  Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return {};
  Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) return {};
  const unsigned long major_version = PyLong_AsUnsignedLong(major.get());
  if (major_version == static_cast<unsigned long>(-1) && PyErr_Occurred()) return {};
  return Ref::steal(PyImport_ImportModule(major_version < 2 ? "numpy.core.multiarray"
                                                           : "numpy._core.multiarray"));
}

bool load_table() {
  Ref multiarray = import_multiarray();
  if (!multiarray) return false;
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    set_error(PyExc_TypeError, fill_message("'{}' object cannot be converted to 'PyCapsule'",
                                            {type_name_of(capsule.get())}));
    return false;
  }
  void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
  if (table == nullptr) return false;
  // The capsule, and with it the table, stays alive for the process.
  capsule.release();
  io_rs_numpy_api_table = static_cast<void**>(table);
  PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  return true;
}

}  // namespace

bool numpy_loaded() noexcept { return io_rs_numpy_api_table != nullptr; }

bool numpy_ready() noexcept {
  if (io_rs_numpy_api_table != nullptr) return true;
  return contain([]() -> PyObject* {
           if (load_table()) return Py_None;
           // Say what went wrong, and keep the original error as the cause.
           PyObject* cause = PyErr_GetRaisedException();
           std::string message = "Failed to access NumPy array API capsule";
           if (cause != nullptr) {
             message += fill_message(": {}", {type_name_of(cause)});
             Ref text = Ref::steal(PyObject_Str(cause));
             const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
             if (utf8 != nullptr && *utf8 != '\0') message += fill_message(": {}", {utf8});
             PyErr_Clear();
           }
           raise_internal(message);
           if (cause != nullptr) {
             PyObject* raised = PyErr_GetRaisedException();
             if (raised != nullptr) PyException_SetCause(raised, cause);  // steals cause
             else Py_DECREF(cause);
             PyErr_SetRaisedException(raised);
           }
           return nullptr;
         }) != nullptr;
}

}  // namespace io_rs::py
