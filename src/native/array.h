// A writable one-dimensional buffer owning a std::vector, handed to NumPy
// (numpy.frombuffer) without a copy and without NumPy's C headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

namespace velkor::native {

// Creates the type (once per process); a borrowed reference.
PyObject* array_type();

// New buffer objects taking over the values (format "H" and "q").
PyObject* wrap_array(std::vector<std::uint16_t> values);
PyObject* wrap_array(std::vector<std::int64_t> values);

}  // namespace velkor::native
