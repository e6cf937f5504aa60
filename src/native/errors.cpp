#include "native/errors.h"

#include <new>
#include <stdexcept>

#include "codec/encoder.h"
#include "files/io.h"
#include "model/tokenizer_file.h"
#include "threads/parallel.h"

namespace velkor::native {

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw ErrorSet{};
}

void translate_exception() noexcept {
  try {
    throw;
  } catch (const ErrorSet&) {
  } catch (const Stopped&) {
    // A signal handler raised; its exception is set already.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "batch stopped");
  } catch (const MissingOov& error) {
    PyObject* cluster = PyUnicode_DecodeUTF8(
        error.cluster.data(), static_cast<Py_ssize_t>(error.cluster.size()), "replace");
    if (cluster == nullptr) return;
    PyErr_Format(PyExc_ValueError,
                 "the text has a cluster the model lacks (%R) and the model has no \"oov\" entry",
                 cluster);
    Py_DECREF(cluster);
  } catch (const ImageError& error) {
    PyErr_Format(PyExc_ValueError, "not a tokenizer file: %s", error.rendering.c_str());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

}  // namespace velkor::native
