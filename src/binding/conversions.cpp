#include "binding/conversions.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "binding/errors.h"

// Performance notes.
//
// 1. shared_int(): with an int object made per id past the interpreter's
//    small-int cache, building an encode's result list took 5.2 ms per MB of
//    mixed text instead of 1.6 (a tenth of the whole encode), and as much
//    again to free it. Measured from Python; how is not recorded, and no
//    bench/ program times the list alone (bench/boundary_bench.py times
//    encode from Python with the list included).

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
  const int truth = nb_bool(object);
  if (truth != 0 && truth != 1) throw fetch_error();
  return truth == 1;
}

namespace {

[[noreturn]] void id_out_of_range() {
  throw new_error(PyExc_OverflowError, "out of range integral type conversion attempted");
}

TokenId to_token_id(PyObject* item) {
  long value = PyLong_AsLong(item);
  if (value == -1 && PyErr_Occurred() != nullptr) throw fetch_error();
  if (value < 0 || value > 0xFFFF) id_out_of_range();
  return static_cast<TokenId>(value);
}

// An exact int that fits one digit is read in place; anything else (bools,
// int subclasses, __index__ objects, big ints) goes through PyLong_AsLong as
// the iterator path does.
TokenId item_to_token_id(PyObject* item) {
  if (PyLong_CheckExact(item)) {
    auto* number = reinterpret_cast<PyLongObject*>(item);
    if (PyUnstable_Long_IsCompact(number)) {
      const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
      if (value < 0 || value > 0xFFFF) id_out_of_range();
      return static_cast<TokenId>(value);
    }
    return to_token_id(item);
  }
  // __index__ may run Python code that changes the sequence: hold the item.
  PyRef held = PyRef::borrow(item);
  return to_token_id(held.get());
}

}  // namespace

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
  // Lists and tuples know their length; any other length is a hint only
  // (a __len__ may report 2**62), so what it reserves is capped.
  constexpr Py_ssize_t kHintCap = Py_ssize_t{1} << 22;
  if (!PyList_CheckExact(object) && !PyTuple_CheckExact(object)) hint = std::min(hint, kHintCap);
  std::vector<TokenId> ids;
  ids.reserve(static_cast<std::size_t>(hint));

  // Exact lists and tuples are walked by index, which visits the items that
  // their iterators would: the length and the items are read again at every
  // step, as a list's iterator does, so a list changed by __index__ is seen
  // the same way.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    for (Py_ssize_t i = 0; i < Py_SIZE(object); ++i) {
      ids.push_back(item_to_token_id(PySequence_Fast_ITEMS(object)[i]));
    }
    return ids;
  }

  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) throw fetch_error();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    ids.push_back(to_token_id(item.get()));
  }
  if (PyErr_Occurred() != nullptr) throw fetch_error();
  return ids;
}

namespace {

// The int object of each id, made at first need and kept for the life of
// the process (at most 65,536 of them, 2 MiB). Results share them, so
// equal ids in a result are the same object (`r[0] is r[1]`): this is kept
// for speed alone, as the encode goals need it. Ids past the interpreter's
// small-int cache would otherwise each cost an allocation and 32 bytes
// (see Performance notes, 1). The values are the same either way.
PyObject* shared_int(TokenId id) {
  static PyObject* made[65536];
  PyObject*& slot = made[id];
  if (slot == nullptr) slot = checked(PyLong_FromLong(id)).release();
  return Py_NewRef(slot);
}

}  // namespace

PyRef to_list(std::span<const TokenId> ids) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  // SET_ITEM steals each new reference into the fresh list.
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), shared_int(ids[i]));
  }
  return list;
}

PyRef to_str(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace velkor::binding
