#include "native/errors.h"

#include <unistd.h>

#include <new>
#include <stdexcept>

#include "codec/encoder.h"
#include "files/io.h"
#include "model/tokenizer_file.h"
#include "threads/parallel.h"

namespace velkor::native {
namespace {

// Python 3.12 and 3.13 end a daemon thread that asks for the lock after the
// interpreter began to exit with pthread_exit, whose unwinding would run
// this module's destructors without the lock (dropping references, releasing
// buffers) and abort the process at the first noexcept frame on its way.
// The thread waits here for the process to end, holding nothing, as later
// interpreters have every such thread do. The two calls are C: pthread_exit's
// unwinding is all that can leave them, and it carries no object to bind a
// reference to, hence catch (...).
[[noreturn]] void wait_for_exit() noexcept {
  for (;;) pause();
}

}  // namespace

void lock_again(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    wait_for_exit();
  }
}

PyGILState_STATE ensure_lock() noexcept {
  try {
    return PyGILState_Ensure();
  } catch (...) {
    wait_for_exit();
  }
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw ErrorSet{};
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const ErrorSet&) {
  } catch (const Stopped&) {
    // A signal handler raised; its exception is set already.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "batch stopped");
  } catch (const MissingOov& error) {
    PyObject* cluster = PyUnicode_DecodeUTF8(
        error.cluster.data(), static_cast<Py_ssize_t>(error.cluster.size()), "replace");
    if (cluster == nullptr) return;
    PyErr_Format(PyExc_ValueError,
                 "the text has a cluster the model lacks (%R) and the model has no \"oov\" entry",
                 cluster);
    Py_DECREF(cluster);
  } catch (const ImageError& error) {
    PyErr_Format(PyExc_ValueError, "not a tokenizer file: %s", error.rendering.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

}  // namespace velkor::native
