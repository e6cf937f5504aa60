#include "binding/arguments.h"

#include <string>
#include <string_view>
#include <vector>

namespace velkor::binding {
namespace {

std::string full_name(const ParameterDescription& description) {
  std::string name;
  if (description.class_name != nullptr) {
    name += description.class_name;
    name += '.';
  }
  name += description.function_name;
  name += "()";
  return name;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(const std::vector<std::string_view>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) list += ',';
      list += ' ';
      if (i + 1 == names.size()) list += "and ";
    }
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

[[noreturn]] void type_error(const std::string& message) {
  throw new_error(PyExc_TypeError, message.c_str());
}

[[noreturn]] void too_many_positional(const ParameterDescription& description, Py_ssize_t nargs) {
  std::string message = full_name(description) + " takes ";
  if (description.required_positional == description.positional.size()) {
    message += std::to_string(description.positional.size());
  } else {
    message += "from " + std::to_string(description.required_positional) + " to " +
               std::to_string(description.positional.size());
  }
  message += " positional arguments but " + std::to_string(nargs) +
             (nargs == 1 ? " was given" : " were given");
  type_error(message);
}

[[noreturn]] void missing(const ParameterDescription& description, const char* kind,
                          const std::vector<std::string_view>& names) {
  type_error(full_name(description) + " missing " + std::to_string(names.size()) + " required " +
             kind + (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names));
}

// Index of the parameter in names, or -1.
std::ptrdiff_t find_name(std::string_view keyword, auto&& names, auto&& name_of) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (keyword == name_of(names[i])) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

}  // namespace

void match_arguments(const ParameterDescription& description, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t positional_count = description.positional.size();
  for (PyObject*& slot : slots) slot = nullptr;

  if (static_cast<std::size_t>(nargs) > positional_count) too_many_positional(description, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  std::vector<std::string_view> positional_only_by_keyword;
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (data != nullptr) {
      std::string_view text(data, static_cast<std::size_t>(size));
      std::ptrdiff_t index = find_name(text, description.keyword_only,
                                       [](const KeywordOnlyParameter& p) { return p.name; });
      if (index >= 0) {
        PyObject*& slot = slots[positional_count + static_cast<std::size_t>(index)];
        if (slot != nullptr) {
          type_error(full_name(description) + " got multiple values for argument '" +
                     std::string(text) + "'");
        }
        slot = value;
        continue;
      }
      index = find_name(text, description.positional, [](const char* name) { return name; });
      if (index >= 0) {
        std::size_t i = static_cast<std::size_t>(index);
        if (i < description.positional_only) {
          positional_only_by_keyword.push_back(description.positional[i]);
        } else if (slots[i] != nullptr) {
          type_error(full_name(description) + " got multiple values for argument '" +
                     std::string(text) + "'");
        } else {
          slots[i] = value;
        }
        continue;
      }
    } else {
      PyErr_Clear();  // a keyword without a UTF-8 form names no parameter
    }
    throw new_error(PyExc_TypeError,
                    checked(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                 full_name(description).c_str(), keyword)));
  }
  if (!positional_only_by_keyword.empty()) {
    type_error(full_name(description) +
               " got some positional-only arguments passed as keyword arguments: " +
               name_list(positional_only_by_keyword));
  }

  if (static_cast<std::size_t>(nargs) < description.required_positional) {
    std::vector<std::string_view> absent;
    for (std::size_t i = 0; i < description.required_positional; ++i) {
      if (slots[i] == nullptr) absent.push_back(description.positional[i]);
    }
    if (!absent.empty()) missing(description, "positional", absent);
  }
  std::vector<std::string_view> absent_keywords;
  for (std::size_t i = 0; i < description.keyword_only.size(); ++i) {
    const KeywordOnlyParameter& parameter = description.keyword_only[i];
    if (parameter.required && slots[positional_count + i] == nullptr) {
      absent_keywords.push_back(parameter.name);
    }
  }
  if (!absent_keywords.empty()) missing(description, "keyword", absent_keywords);
}

PythonError wrap_argument_error(const char* name, PythonError error) {
  PyObject* exception = error.exception();
  if (Py_TYPE(exception) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
  PythonError wrapped = new_error(
      PyExc_TypeError, checked(PyUnicode_FromFormat("argument '%s': %S", name, exception)));
  // SetCause steals the reference; a null cause leaves __cause__ None.
  PyException_SetCause(wrapped.exception(), PyException_GetCause(exception));
  return wrapped;
}

}  // namespace velkor::binding
