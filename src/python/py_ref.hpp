// An owning handle on a Python reference. Whether a reference is taken over or
// borrowed (and so incremented) is said where the handle is made, and the
// destructor gives back what the handle holds, on every path.
#pragma once

#include <Python.h>

#include <utility>

namespace io_rs::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (may be null, as returned by a failing call).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Adds a reference of its own to a borrowed one.
  static Ref borrow(PyObject* o) noexcept { return Ref(Py_XNewRef(o)); }

  Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) Py_XSETREF(o_, std::exchange(other.o_, nullptr));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }

  PyObject* get() const noexcept { return o_; }
  explicit operator bool() const noexcept { return o_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(o_, nullptr); }

 private:
  explicit Ref(PyObject* o) noexcept : o_(o) {}
  PyObject* o_ = nullptr;
};

}  // namespace io_rs::py
