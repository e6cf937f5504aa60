// The native Tokenizer type: an immutable model shared by any number of
// threads, with the interpreter lock released around all core work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velkor::native {

// Creates the type (once per process); a borrowed reference.
PyObject* tokenizer_type();

}  // namespace velkor::native
