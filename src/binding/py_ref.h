// Owner of one strong reference to a Python object. Every PyObject* the
// binding holds lives in one of these, so an early return or a C++ exception
// can neither leak the reference nor drop it twice.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velkor::binding {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a reference the caller owns (a "new reference" result).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for example back to the interpreter).
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace velkor::binding
