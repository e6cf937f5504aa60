#include "native/ids.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/py_ref.h"
#include "native/errors.h"

namespace velkor::native {
namespace {

using binding::PyRef;

[[noreturn]] void out_of_range(const std::string& id) {
  raise(PyExc_ValueError, "token id " + id + " is out of range 0..65535");
}

TokenId known(std::int64_t value, const Model& model) {
  if (value < 0 || value >= static_cast<std::int64_t>(kIdSpace)) {
    out_of_range(std::to_string(value));
  }
  const auto id = static_cast<TokenId>(value);
  if (!model.lookup.contains(id)) {
    raise(PyExc_ValueError, "token id " + std::to_string(value) + " is not in the model");
  }
  return id;
}

// bits with its bytes in the other order.
template <class U>
U byte_swapped(U bits) {
  U out = 0;
  for (std::size_t i = 0; i < sizeof(U); ++i) {
    out = static_cast<U>((out << 8) | (bits & 0xFFu));
    bits = static_cast<U>(bits >> 8);
  }
  return out;
}

// The items of a buffer, their bytes swapped when it is in the other byte
// order than this machine's.
template <class T>
void read_items(const Py_buffer& view, bool swap, std::vector<TokenId>& ids, const Model& model) {
  using Bits = std::make_unsigned_t<T>;
  const auto* at = static_cast<const char*>(view.buf);
  const Py_ssize_t step = view.strides != nullptr ? view.strides[0] : view.itemsize;
  for (Py_ssize_t i = 0; i < view.shape[0]; ++i, at += step) {
    Bits bits;
    std::memcpy(&bits, at, sizeof bits);
    const T value = std::bit_cast<T>(swap ? byte_swapped(bits) : bits);
    if constexpr (std::is_unsigned_v<T>) {
      if (value > 0xFFFF) out_of_range(std::to_string(value));
    }
    ids.push_back(known(static_cast<std::int64_t>(value), model));
  }
}

// The ids in a buffer of integers; empty when it holds Python objects
// (NumPy's dtype object) or its exporter refuses to give it (NumPy's
// datetimes), whose items are converted one by one instead: an item that is
// no integer is a TypeError, not the exporter's ValueError.
std::optional<std::vector<TokenId>> from_buffer(PyObject* object, const Model& model) {
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_BufferError)) {
      throw ErrorSet{};
    }
    PyErr_Clear();
    return std::nullopt;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  std::string format = view.format != nullptr ? view.format : "B";
  if (format == "O" && view.ndim == 1) return std::nullopt;
  bool big_endian = std::endian::native == std::endian::big;
  if (!format.empty() && std::strchr("@=<>!", format[0]) != nullptr) {
    if (format[0] != '@' && format[0] != '=') big_endian = format[0] != '<';
    format.erase(0, 1);
  }
  const bool swap = big_endian != (std::endian::native == std::endian::big);
  static constexpr char kSigned[] = "bhilqn";
  static constexpr char kUnsigned[] = "BHILQN";
  const bool is_signed = format.size() == 1 && std::strchr(kSigned, format[0]) != nullptr;
  const bool is_unsigned = format.size() == 1 && std::strchr(kUnsigned, format[0]) != nullptr;
  if (view.ndim != 1 || !(is_signed || is_unsigned)) {
    raise(PyExc_TypeError, "token ids must be a one-dimensional integer buffer, not format '" +
                               std::string(view.format != nullptr ? view.format : "B") + "' with " +
                               std::to_string(view.ndim) + " dimensions");
  }
  std::vector<TokenId> ids;
  ids.reserve(static_cast<std::size_t>(view.shape[0]));
  switch (view.itemsize) {
    case 1:
      is_signed ? read_items<std::int8_t>(view, swap, ids, model)
                : read_items<std::uint8_t>(view, swap, ids, model);
      break;
    case 2:
      is_signed ? read_items<std::int16_t>(view, swap, ids, model)
                : read_items<std::uint16_t>(view, swap, ids, model);
      break;
    case 4:
      is_signed ? read_items<std::int32_t>(view, swap, ids, model)
                : read_items<std::uint32_t>(view, swap, ids, model);
      break;
    case 8:
      is_signed ? read_items<std::int64_t>(view, swap, ids, model)
                : read_items<std::uint64_t>(view, swap, ids, model);
      break;
    default:
      raise(PyExc_TypeError,
            "token ids of " + std::to_string(view.itemsize) + " bytes each are not supported");
  }
  return ids;
}

}  // namespace

TokenId to_known_id(PyObject* object, const Model& model) {
  if (!PyLong_Check(object) && !PyIndex_Check(object)) {
    raise(PyExc_TypeError,
          std::string("a token id must be an int, not '") + Py_TYPE(object)->tp_name + "'");
  }
  PyRef index = PyRef::steal(checked(PyNumber_Index(object)));
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw ErrorSet{};
  if (overflow != 0) {
    PyRef text = PyRef::steal(checked(PyObject_Str(index.get())));
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) throw ErrorSet{};
    out_of_range(utf8);
  }
  return known(value, model);
}

std::vector<TokenId> to_ids(PyObject* object, const Model& model) {
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object)) {
    raise(PyExc_TypeError, std::string("token ids must be a list, tuple or integer array, not '") +
                               Py_TYPE(object)->tp_name + "'");
  }
  if (PyObject_CheckBuffer(object)) {
    if (auto ids = from_buffer(object, model)) return std::move(*ids);
  }
  if (!PySequence_Check(object)) {
    raise(PyExc_TypeError, std::string("token ids must be a list, tuple or integer array, not '") +
                               Py_TYPE(object)->tp_name + "'");
  }
  PyRef items = PyRef::steal(checked(PySequence_Fast(object, "token ids must be a sequence")));
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  std::vector<TokenId> ids;
  ids.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    // Held: an item's __index__ may change the list it is in.
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
    ids.push_back(to_known_id(item.get(), model));
  }
  return ids;
}

}  // namespace velkor::native
