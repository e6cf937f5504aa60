#include "native/array.h"

#include <memory>
#include <utility>

#include "native/errors.h"

namespace velkor::native {
namespace {

struct Storage {
  virtual ~Storage() = default;
  void* data = nullptr;
  Py_ssize_t count = 0;
  Py_ssize_t itemsize = 0;
  const char* format = "B";
};

template <class T>
struct VectorStorage : Storage {
  VectorStorage(std::vector<T> from, const char* code) : values(std::move(from)) {
    data = values.data();
    count = static_cast<Py_ssize_t>(values.size());
    itemsize = sizeof(T);
    format = code;
  }
  std::vector<T> values;
};

struct ArrayObject {
  PyObject_HEAD Storage* storage;  // owned
};

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  Storage& storage = *reinterpret_cast<ArrayObject*>(self)->storage;
  view->obj = Py_NewRef(self);
  view->buf = storage.data;
  view->len = storage.count * storage.itemsize;
  view->readonly = 0;
  view->itemsize = storage.itemsize;
  view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(storage.format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) != 0 ? &storage.count : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &storage.itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t array_length(PyObject* self) {
  return reinterpret_cast<ArrayObject*>(self)->storage->count;
}

void array_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ArrayObject*>(self)->storage;
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot array_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(array_length)},
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {Py_tp_doc, const_cast<char*>("Token ids or offsets owned natively; read via the buffer "
                                  "protocol (numpy.frombuffer).")},
    {0, nullptr},
};

PyType_Spec array_type_def = {"velkor_tools._native.IdBuffer", sizeof(ArrayObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, array_slots};

PyObject* type_object = nullptr;

PyObject* wrap(std::unique_ptr<Storage> storage) {
  auto* type = reinterpret_cast<PyTypeObject*>(array_type());
  PyObject* object = checked(type->tp_alloc(type, 0));
  reinterpret_cast<ArrayObject*>(object)->storage = storage.release();
  return object;
}

}  // namespace

PyObject* array_type() {
  if (type_object == nullptr) type_object = checked(PyType_FromSpec(&array_type_def));
  return type_object;
}

PyObject* wrap_array(std::vector<std::uint16_t> values) {
  return wrap(std::make_unique<VectorStorage<std::uint16_t>>(std::move(values), "H"));
}

PyObject* wrap_array(std::vector<std::int64_t> values) {
  return wrap(std::make_unique<VectorStorage<std::int64_t>>(std::move(values), "q"));
}

}  // namespace velkor::native
