#include "binding/arguments.h"

#include <string>
#include <string_view>
#include <vector>

namespace velkor::binding {
namespace {

std::string full_name(const char* class_name, const char* function_name) {
  std::string name = class_name != nullptr ? std::string(class_name) + '.' : std::string();
  return name + function_name + "()";
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

}  // namespace

void match_arguments(const char* class_name, const char* function_name,
                     std::span<const char* const> names, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> slots) {
  auto callable = [&] { return full_name(class_name, function_name); };
  const std::size_t count = names.size();
  if (static_cast<std::size_t>(nargs) > count) {
    type_error(callable() + " takes " + std::to_string(count) + " positional arguments but " +
               std::to_string(nargs) + (nargs == 1 ? " was given" : " were given"));
  }
  for (std::size_t i = 0; i < count; ++i) {
    slots[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;
  }

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (data == nullptr) PyErr_Clear();  // a keyword without a UTF-8 form names no parameter
    const std::string_view text = data == nullptr
                                      ? std::string_view()
                                      : std::string_view(data, static_cast<std::size_t>(size));
    std::size_t i = 0;
    while (i < count && (data == nullptr || text != names[i])) ++i;
    if (i == count) {
      throw new_error(PyExc_TypeError,
                      checked(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                   callable().c_str(), keyword)));
    }
    if (slots[i] != nullptr) {
      type_error(callable() + " got multiple values for argument '" + std::string(text) + "'");
    }
    slots[i] = args[nargs + k];
  }

  std::vector<std::string_view> absent;
  for (std::size_t i = 0; i < count; ++i) {
    if (slots[i] == nullptr) absent.push_back(names[i]);
  }
  if (!absent.empty()) {
    type_error(callable() + " missing " + std::to_string(absent.size()) + " required positional " +
               (absent.size() == 1 ? "argument: " : "arguments: ") + name_list(absent));
  }
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
