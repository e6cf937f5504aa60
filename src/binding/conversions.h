// Python arguments to the values the core takes, and core results back to
// Python objects. Argument conversions throw PythonError for the caller to
// wrap with the parameter's name.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "binding/py_ref.h"
#include "model/model.h"

namespace velkor::binding {

// The UTF-8 text of a str (or subclass); the view lives as long as the
// object. Refuses other objects with the "PyString" conversion error; a str
// without a UTF-8 form raises the interpreter's UnicodeEncodeError.
std::string_view to_text(PyObject* object);

// Exactly True or False, or a NumPy boolean scalar (by its type name, so
// NumPy need not be loaded); anything else, ints included, is refused.
bool to_bool(PyObject* object);

// Every element of a non-str sequence as a TokenId, in iteration order.
std::vector<TokenId> to_token_ids(PyObject* object);

// A new list of ints.
PyRef to_list(std::span<const TokenId> ids);

// A new str from text that is valid UTF-8.
PyRef to_str(std::string_view text);

}  // namespace velkor::binding
