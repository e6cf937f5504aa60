// Python objects holding token ids, read into the core's TokenId vectors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "model/model.h"

namespace velkor::native {

// The ids of a list, tuple or other sequence of ints, or of a 1-D buffer of
// integers read by its format (NumPy arrays of any integer dtype,
// array.array, memoryview). str, bytes and bytearray are refused with
// TypeError (ids or text? ambiguous), as is anything else; an id outside
// 0..65535, or one the model's lookup lacks, raises ValueError naming it.
std::vector<TokenId> to_ids(PyObject* object, const Model& model);

// An int in 0..65535 the model has bytes for; ValueError naming it otherwise.
TokenId to_known_id(PyObject* object, const Model& model);

}  // namespace velkor::native
