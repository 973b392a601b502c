// The interpreter lock given up for a scope: routines that touch no Python
// object (they read a held buffer and fill their own memory) let other
// Python threads run meanwhile. The lock is taken back when the scope ends,
// on every path, exceptions included.
#pragma once

#include <Python.h>

namespace io_rs::py {

class Released {
 public:
  Released() noexcept : state_(PyEval_SaveThread()) {}
  ~Released() { PyEval_RestoreThread(state_); }
  // The thread state given up: PyEval_RestoreThread(state()) takes the lock
  // back within the scope, PyEval_SaveThread() gives it up again.
  PyThreadState* state() const noexcept { return state_; }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

 private:
  PyThreadState* state_;
};

// The lock taken back within a Released scope, for as long as this lives:
// given up again when it ends, on every path.
class Retaken {
 public:
  explicit Retaken(const Released& scope) noexcept { PyEval_RestoreThread(scope.state()); }
  ~Retaken() { PyEval_SaveThread(); }
  Retaken(const Retaken&) = delete;
  Retaken& operator=(const Retaken&) = delete;
};

// Runs body without the lock and returns what it returns.
template <class Body>
auto released(Body&& body) {
  Released scope;
  return body();
}

}  // namespace io_rs::py
