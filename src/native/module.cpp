// velkor_tools._native: the Tokenizer type and its id buffers.
#include "binding/py_ref.h"
#include "files/io.h"
#include "native/array.h"
#include "native/errors.h"
#include "native/ids_text.h"
#include "native/tokenizer.h"
#include "report/failure.h"

namespace velkor::native {
namespace {

PyMethodDef module_methods[] = {
    {"ids_text", ids_text, METH_VARARGS,
     "ids_text(ids, offsets=None, /) -> bytes: uint16 ids in decimal, separated by spaces; "
     "with offsets, one line per document."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velkor_tools._native",
    "The tokenizer core for velkor_tools: releases the interpreter lock and encodes batches on "
    "native threads.",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// A system call of the module's interrupted by a signal runs the handlers
// (Ctrl-C raising KeyboardInterrupt ends the call), taking the lock for that
// moment when the call runs without it.
void check_signals() {
  const PyGILState_STATE lock = ensure_lock();
  const bool raised = PyErr_CheckSignals() < 0;
  PyGILState_Release(lock);
  if (raised) throw ErrorSet{};
}

PyObject* initialise() {
  // The types are process globals made in one interpreter; only the main one
  // may have them. Checked before anything is made: an isolated interpreter
  // runs this function before it refuses the module, and frees what it made.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    raise(PyExc_ImportError,
          "velkor_tools._native does not support subinterpreters; it can only be imported in "
          "the main interpreter");
  }
  set_signal_check(check_signals);
  report_failures(false);  // each failure reaches the caller as an exception
  binding::PyRef module = binding::PyRef::steal(checked(PyModule_Create(&module_def)));
  if (PyModule_AddObjectRef(module.get(), "Tokenizer", tokenizer_type()) < 0 ||
      PyModule_AddObjectRef(module.get(), "IdBuffer", array_type()) < 0) {
    throw ErrorSet{};
  }
  return module.release();
}

}  // namespace
}  // namespace velkor::native

PyMODINIT_FUNC PyInit__native() { return velkor::native::boundary(velkor::native::initialise); }
