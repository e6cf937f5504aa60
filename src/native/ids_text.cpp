#include "native/ids_text.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "native/errors.h"

namespace velkor::native {
namespace {

// A contiguous buffer of one integer type, released at the end of the scope.
class View {
 public:
  // A one-dimensional buffer of itemsize-byte integers whose format is one of codes.
  View(PyObject* object, Py_ssize_t itemsize, const char* codes, const char* what) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
      throw ErrorSet{};
    }
    std::string format = view_.format != nullptr ? view_.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
      format.erase(0, 1);
    }
    const bool integer = format.size() == 1 && std::strchr(codes, format[0]) != nullptr;
    if (view_.itemsize != itemsize || !integer || view_.ndim != 1) {
      PyBuffer_Release(&view_);
      raise(PyExc_TypeError, what);
    }
  }
  ~View() { PyBuffer_Release(&view_); }
  View(const View&) = delete;
  View& operator=(const View&) = delete;

  template <class T>
  T at(std::size_t i) const {
    T value;
    std::memcpy(&value, static_cast<const char*>(view_.buf) + i * sizeof(T), sizeof value);
    return value;
  }
  std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }

 private:
  Py_buffer view_;
};

}  // namespace

PyObject* ids_text(PyObject* /*module*/, PyObject* args) {
  return boundary([&]() -> PyObject* {
    PyObject* ids_object = nullptr;
    PyObject* offsets_object = nullptr;
    if (!PyArg_ParseTuple(args, "O|O:ids_text", &ids_object, &offsets_object)) return nullptr;
    // Unsigned only: a signed -1 would be written as 65535.
    const View ids(ids_object, 2, "HIL", "ids must be a one-dimensional contiguous uint16 buffer");
    // Without offsets, one document and no line end.
    std::vector<std::int64_t> ends;
    if (offsets_object != nullptr && offsets_object != Py_None) {
      const View offsets(offsets_object, 8, "lLqQ",
                         "offsets must be a one-dimensional contiguous int64 buffer");
      std::int64_t previous = 0;
      for (std::size_t i = 0; i < offsets.size(); ++i) {
        const auto offset = offsets.at<std::int64_t>(i);
        if (offset < previous || static_cast<std::size_t>(offset) > ids.size() ||
            (i == 0 && offset != 0)) {
          raise(PyExc_ValueError, "offsets must rise from 0 to at most the number of ids");
        }
        if (i != 0) ends.push_back(offset);
        previous = offset;
      }
    }
    std::string text;
    {
      Unlocked unlocked;
      // At most five digits and a space or line end each, and a line end per document.
      text.resize(ids.size() * 6 + ends.size());
      char* at = text.data();
      std::size_t start = 0;
      auto write = [&](std::size_t end) {
        for (std::size_t i = start; i < end; ++i) {
          if (i != start) *at++ = ' ';
          at = std::to_chars(at, at + 5, ids.at<std::uint16_t>(i)).ptr;
        }
        start = end;
      };
      if (offsets_object == nullptr || offsets_object == Py_None) {
        write(ids.size());
      } else {
        for (std::int64_t end : ends) {
          write(static_cast<std::size_t>(end));
          *at++ = '\n';
        }
      }
      text.resize(static_cast<std::size_t>(at - text.data()));
    }
    return checked(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

}  // namespace velkor::native
