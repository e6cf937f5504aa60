// Token ids written as text, as the command prints them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velkor::native {

// ids_text(ids) -> bytes: the ids of a contiguous uint16 buffer in decimal,
// separated by single spaces. A module function (METH_O).
PyObject* ids_text(PyObject* module, PyObject* ids);

}  // namespace velkor::native
