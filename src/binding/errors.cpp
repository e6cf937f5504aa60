#include "binding/errors.h"

#include <cstdlib>
#include <exception>
#include <optional>

#include "files/io.h"

namespace velkor::binding {
namespace {

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when the native code of this module, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created at first need and kept for the life of the process.
PyObject* panic_type = nullptr;

// Returns a borrowed reference; aborts when the type cannot be created,
// since the failure it should carry could not be reported either.
// With may_fail, a type that cannot be created (memory has run out) gives
// null and no pending error instead.
PyObject* panic_exception_type(bool may_fail = false) {
  if (panic_type != nullptr) return panic_type;
  panic_type = PyErr_NewExceptionWithDoc("zanu_runtime.PanicException", kPanicDoc,
                                         PyExc_BaseException, nullptr);
  if (panic_type == nullptr && may_fail) {
    PyErr_Clear();
  } else if (panic_type == nullptr) {
    PyErr_Print();
    write_stderr("failed to create the PanicException type\n");
    std::abort();
  }
  return panic_type;
}

// repr() or str() as UTF-8, or empty when it fails (its error is dropped,
// since this only feeds a message).
std::optional<std::string> text_of(PyObject* (*to_text)(PyObject*), PyObject* object) {
  PyRef text = PyRef::steal(to_text(object));
  Py_ssize_t size = 0;
  const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (data != nullptr) return std::string(data, static_cast<size_t>(size));
  PyErr_Clear();
  return std::nullopt;
}

std::string repr_text(PyObject* object) {
  return text_of(PyObject_Repr, object).value_or("<unprintable object>");
}

// Ends the resumed failure: the PanicException went out through Python and
// came back; its report was written when it first happened.
[[noreturn]] void resume_panic(PyObject* exception) {
  const std::string message =
      text_of(PyObject_Str, exception).value_or("Unwrapped panic from Python code");
  write_stderr(
      "--- velkor is resuming an internal failure after fetching a PanicException from "
      "Python. ---\n"
      "Python stack trace below:\n");
  PyErr_SetRaisedException(exception);
  PyErr_PrintEx(0);
  resume_failure(message);
}

// Sets PanicException(message) as the current exception.
void raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // the error of the failed allocation stays set instead
  PyErr_SetObject(type, text.get());
}

// A failure from outside the module's own code: reported, then raised as a
// PanicException.
void report_and_raise(std::string_view message) {
  write_stderr("thread '<unnamed>' failed:\n" + std::string(message) + "\n");
  raise_panic(message);
}

}  // namespace

void PythonError::restore() { PyErr_SetRaisedException(exception_.release()); }

PythonError fetch_error() {
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) {
    return new_error(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  // Seeing whether it is a PanicException is the type's first need when
  // nothing has failed inside the module yet; a type that cannot be created
  // has no instances.
  auto* type = reinterpret_cast<PyTypeObject*>(panic_exception_type(true));
  if (type != nullptr && PyObject_TypeCheck(exception, type)) {
    resume_panic(exception);
  }
  return PythonError(PyRef::steal(exception));
}

PythonError new_error(PyObject* type, PyRef message) {
  PyErr_SetObject(type, message.get());
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) api_call_failed();
  return PythonError(PyRef::steal(exception));
}

PythonError new_error(PyObject* type, const char* message) {
  return new_error(type, checked(PyUnicode_FromString(message)));
}

PythonError conversion_error(PyObject* object, const char* target) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    name = checked(PyUnicode_FromString("<failed to extract type name>"));
  }
  return new_error(
      PyExc_TypeError,
      checked(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'", name.get(), target)));
}

void api_call_failed(SourceLocation where) {
  // SystemExit, KeyboardInterrupt and the like (raised, for example, by the
  // str() of a caller's object while a message is built) are not failures of
  // the module: they go to the caller as they are. Printing SystemExit would
  // end the process.
  if (PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception)) {
    throw fetch_error();
  }
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  fail("Python API call failed", where);
}

std::string render_python_error(PyObject* exception) {
  std::string text = "PyErr { type: ";
  text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
  text += ", value: ";
  text += repr_text(exception);
  text += ", traceback: ";
  PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
  if (traceback) {
    text += "Some(";
    text += repr_text(traceback.get());
    text += ')';
  } else {
    text += "None";
  }
  text += " }";
  return text;
}

void translate_exception() noexcept {
  try {
    try {
      throw;
    } catch (const Failure& failure) {
      raise_panic(failure.what());
    } catch (PythonError& error) {
      error.restore();
    } catch (const std::bad_alloc&) {
      // A preallocated MemoryError: building a PanicException would need the
      // memory that just ran out.
      PyErr_NoMemory();
    } catch (const std::exception& error) {
      report_and_raise(error.what());
    } catch (...) {
      report_and_raise("native code panicked without a message");
    }
  } catch (...) {
    write_stderr("uncaught panic at ffi boundary\n");  // a failure escaped the boundary
    std::abort();
  }
}

}  // namespace velkor::binding
