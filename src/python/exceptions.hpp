// Turning failures into Python exceptions, and keeping every C++ exception
// inside the module.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "python/py_ref.hpp"

namespace io_rs::py {

// The qualified name of the module's internal-error exception class, such
// as "_io_rs.InternalError": every extension module defines its own.
extern const char* const kInternalErrorName;

// Raises the internal-error exception with message (or a generic text when
// empty). The class derives from BaseException directly, so that an
// `except Exception` in the caller does not swallow a fault of this module.
void raise_internal(std::string_view message) noexcept;

// Raises a routine's error value: ValueError with its message, or the
// internal-error exception. Returns null for the caller to pass on.
PyObject* raise(const Error& error) noexcept;

// After CPython returned null while a result was being built: an
// out-of-memory error passes unchanged; anything else is printed to standard
// error and replaced by the internal-error exception.
PyObject* result_build_failed() noexcept;

// Sets TypeError (or the given type) with a UTF-8 message.
void set_error(PyObject* type, std::string_view message) noexcept;

// The qualified name of an object's type, as argument errors spell it.
std::string type_name_of(PyObject* o);

// The exception set on this thread, taken (the error indicator cleared) and
// kept until restore() sets it again: an error that must wait while other
// work is done. Dropped with the object when not restored.
class PendingError {
 public:
  PendingError() noexcept : error_(Ref::steal(PyErr_GetRaisedException())) {}
  void restore() noexcept { PyErr_SetRaisedException(error_.release()); }

 private:
  Ref error_;
};

// Runs body and contains whatever it throws: std::bad_alloc and
// std::length_error become MemoryError, anything else the internal-error
// exception.
template <class Body>
PyObject* contain(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a size past what any allocation can hold
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal({});
  }
  return nullptr;
}

}  // namespace io_rs::py
