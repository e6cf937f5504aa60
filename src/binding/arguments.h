// Matching the arguments of a METH_FASTCALL | METH_KEYWORDS call to the
// parameters of a callable, driven by one description per callable.
#pragma once

#include <cstddef>
#include <span>

#include "binding/errors.h"
#include "binding/py_ref.h"

namespace velkor::binding {

struct KeywordOnlyParameter {
  const char* name;
  bool required;
};

struct ParameterDescription {
  const char* class_name;  // null for a module function
  const char* function_name;
  std::span<const char* const> positional;  // names, in order
  std::size_t positional_only = 0;
  std::size_t required_positional = 0;
  std::span<const KeywordOnlyParameter> keyword_only = {};

  std::size_t slot_count() const { return positional.size() + keyword_only.size(); }
};

// Fills slots (slot_count() entries: the positional parameters, then the
// keyword-only ones) with borrowed references to the arguments; a slot of an
// argument not given stays null. args holds nargs positional values followed
// by one value per name in kwnames (a tuple of str, or null). Throws
// PythonError with the TypeError for a call that does not fit.
void match_arguments(const ParameterDescription& description, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The error the caller sees for a failed conversion of the named parameter:
// an exact TypeError is re-raised as "argument '<name>': <message>" with the
// same __cause__; anything else passes unchanged.
PythonError wrap_argument_error(const char* name, PythonError error);

}  // namespace velkor::binding
