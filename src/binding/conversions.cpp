#include "binding/conversions.h"

#include <cstring>

#include "binding/errors.h"

namespace velkor::binding {
namespace {

// NumPy 1 names its scalar boolean type "numpy.bool_"; NumPy 2 renamed it to
// "numpy.bool" (keeping bool_ as an alias), and both must keep working.
bool is_numpy_bool_type(PyTypeObject* type) {
  return std::strcmp(type->tp_name, "numpy.bool_") == 0 ||
         std::strcmp(type->tp_name, "numpy.bool") == 0;
}

}  // namespace

std::string_view to_text(PyObject* object) {
  if (!PyUnicode_Check(object)) throw conversion_error(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw fetch_error();
  return std::string_view(data, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool_type(type)) throw conversion_error(object, "PyBool");
  inquiry nb_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (nb_bool == nullptr) {
    throw new_error(PyExc_TypeError,
                    checked(PyUnicode_FromFormat(
                        "object of type '%S' does not define a '__bool__' conversion", type)));
  }
  switch (nb_bool(object)) {
    case 0:
      return false;
    case 1:
      return true;
    default:
      throw fetch_error();
  }
}

std::vector<TokenId> to_token_ids(PyObject* object) {
  if (PyUnicode_Check(object)) {
    throw new_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(object)) throw conversion_error(object, "Sequence");
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();  // only a capacity hint
    hint = 0;
  }
  std::vector<TokenId> ids;
  ids.reserve(static_cast<std::size_t>(hint));

  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) throw fetch_error();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred() != nullptr) throw fetch_error();
    if (value < 0 || value > 0xFFFF) {
      throw new_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    ids.push_back(static_cast<TokenId>(value));
  }
  if (PyErr_Occurred() != nullptr) throw fetch_error();
  return ids;
}

PyRef to_list(std::span<const TokenId> ids) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    // SET_ITEM steals the new int into the fresh list.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    checked(PyLong_FromLong(ids[i])).release());
  }
  return list;
}

PyRef to_str(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace velkor::binding
