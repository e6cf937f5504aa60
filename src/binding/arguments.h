// Matching the arguments of a METH_FASTCALL | METH_KEYWORDS call to the
// parameters of a callable, driven by one description per callable. Every
// parameter is required and may be given by position or by keyword.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "binding/errors.h"
#include "binding/py_ref.h"

namespace velkor::binding {

template <std::size_t N>
struct Parameters {
  const char* class_name;  // null for a module function
  const char* function_name;
  std::array<const char*, N> names;  // in order
};

// Fills slots (one per name) with borrowed references to the arguments. args
// holds nargs positional values followed by one value per name in kwnames (a
// tuple of str, or null). Throws PythonError with the TypeError for a call
// that does not fit.
void match_arguments(const char* class_name, const char* function_name,
                     std::span<const char* const> names, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> match_arguments(const Parameters<N>& parameters, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  match_arguments(parameters.class_name, parameters.function_name, parameters.names, args, nargs,
                  kwnames, slots);
  return slots;
}

// The error the caller sees for a failed conversion of the named parameter:
// an exact TypeError is re-raised as "argument '<name>': <message>" with the
// same __cause__; anything else passes unchanged.
PythonError wrap_argument_error(const char* name, PythonError error);

}  // namespace velkor::binding
