#include "native/ids_text.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "native/errors.h"

namespace velkor::native {

PyObject* ids_text(PyObject* /*module*/, PyObject* ids) {
  return boundary([&]() -> PyObject* {
    Py_buffer view;
    if (PyObject_GetBuffer(ids, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const std::string format = view.format != nullptr ? view.format : "B";
    if (view.itemsize != 2 || (format != "H" && format != "@H" && format != "=H")) {
      raise(PyExc_TypeError, "ids must be a contiguous uint16 buffer");
    }
    const auto count = static_cast<std::size_t>(view.len / 2);
    std::string text;
    {
      Unlocked unlocked;
      text.resize(count * 6);  // at most five digits and a space each
      char* at = text.data();
      const auto* bytes = static_cast<const char*>(view.buf);
      for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t id;
        std::memcpy(&id, bytes + 2 * i, sizeof id);
        if (i != 0) *at++ = ' ';
        at = std::to_chars(at, at + 5, id).ptr;
      }
      text.resize(static_cast<std::size_t>(at - text.data()));
    }
    return checked(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

}  // namespace velkor::native
