// Token ids written as text, as the command prints them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velkor::native {

// ids_text(ids, offsets=None) -> bytes: the ids of a contiguous uint16
// buffer in decimal, separated by single spaces; with int64 offsets (as
// encode_batch_to_numpy gives them), one line per document, each ended by
// "\n". A module function (METH_VARARGS).
PyObject* ids_text(PyObject* module, PyObject* args);

}  // namespace velkor::native
