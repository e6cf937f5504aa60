// How failures cross the boundary between the interpreter and the module:
// Python errors carried through C++ frames, PanicException for internal
// failures, and the wrapper every entry point runs its body in.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "binding/py_ref.h"
#include "report/failure.h"

namespace velkor::binding {

// A Python exception taken out of the interpreter's error indicator and
// carried through C++ frames until the boundary sets it again. Copies share
// the exception object (the interpreter lock is held wherever one is made).
class PythonError {
 public:
  // Takes over a non-null exception instance.
  explicit PythonError(PyRef exception) : exception_(std::move(exception)) {}
  PythonError(const PythonError& other) : exception_(PyRef::borrow(other.exception_.get())) {}
  PythonError(PythonError&&) noexcept = default;
  PythonError& operator=(const PythonError&) = delete;
  PythonError& operator=(PythonError&&) noexcept = default;

  // Borrowed; null only after restore().
  PyObject* exception() const { return exception_.get(); }
  // Sets the exception as the current one; this object is empty afterwards.
  void restore();

 private:
  PyRef exception_;
};

// Takes the pending Python exception (a SystemError when none is set). A
// PanicException that comes back through Python is not an ordinary error: it
// is printed to stderr and the internal failure it stands for carries on as
// velkor::Failure with the same message.
PythonError fetch_error();

// A new exception type(message), fetched so it can be thrown. The message
// must be a str.
PythonError new_error(PyObject* type, PyRef message);
PythonError new_error(PyObject* type, const char* message);

// TypeError "'<type qualname>' object cannot be converted to '<target>'".
PythonError conversion_error(PyObject* object, const char* target);

// An interpreter call returned null where an object is required: prints the
// pending error, then fails with "Python API call failed". A pending error
// that is not an Exception (SystemExit, KeyboardInterrupt) is thrown as a
// PythonError instead, unprinted.
[[noreturn]] void api_call_failed(SourceLocation where = SourceLocation::current());

// Returns a new reference as a PyRef, or ends in api_call_failed() when the
// call that produced it returned null.
inline PyRef checked(PyObject* new_reference, SourceLocation where = SourceLocation::current()) {
  if (new_reference == nullptr) api_call_failed(where);
  return PyRef::steal(new_reference);
}

// "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }".
std::string render_python_error(PyObject* exception);

// Sets the current Python exception for whatever the body threw, so the
// entry point can return null. Must not throw itself.
void translate_exception() noexcept;

// Runs the body of an entry point called by the interpreter. The body
// returns a PyRef; its reference goes to the interpreter. Any exception
// becomes the current Python exception and the result is null.
template <class Body>
PyObject* call_boundary(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_exception();
    return nullptr;
  }
}

}  // namespace velkor::binding
