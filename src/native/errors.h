// How failures leave the native module: as plain Python exceptions, with
// nothing written to standard error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

namespace velkor::native {

// Thrown once a Python exception is set (by the interpreter or by raise()).
struct ErrorSet {};

// Sets type(message) and throws ErrorSet.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// Throws ErrorSet when an interpreter call returned null.
inline PyObject* checked(PyObject* result) {
  if (result == nullptr) throw ErrorSet{};
  return result;
}

// Sets the Python exception for whatever a body threw. Never throws.
void translate_exception() noexcept;

// Runs an entry point's body, which returns a new reference (or null with
// an exception set); any C++ exception becomes a Python one.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

// PyEval_RestoreThread(state), except that a thread the exiting interpreter
// ends there waits for the process to end instead (see errors.cpp).
void lock_again(PyThreadState* state) noexcept;
// PyGILState_Ensure(), likewise.
PyGILState_STATE ensure_lock() noexcept;

// The interpreter lock released for the life of the object; poll() takes it
// back for a moment to run the signal handlers (Ctrl-C).
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { lock_again(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  // False once a signal handler raised; the exception stays set.
  bool poll() {
    lock_again(state_);
    const bool go_on = PyErr_CheckSignals() == 0;
    state_ = PyEval_SaveThread();
    return go_on;
  }

 private:
  PyThreadState* state_;
};

}  // namespace velkor::native
