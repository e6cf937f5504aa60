// The extension module: initialisation, the class Data and the path every
// call takes from the interpreter into the core and back.
#include <atomic>
#include <cstdint>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/arguments.h"
#include "binding/conversions.h"
#include "binding/errors.h"
#include "binding/py_ref.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "files/io.h"
#include "model/model.h"
#include "model/tokenizer_file.h"
#include "report/failure.h"
#include "train/trainer.h"

namespace velkor::binding {
namespace {

// A Data instance: the model and its cluster cache live inline
// (placement-new in wrap_model, destroyed in dealloc), then the borrow flag.
struct DataObject {
  PyObject_HEAD Model model;
  // Ids of the clusters this object's encodes have met, so a run of calls
  // (short documents) hashes each cluster's text once; cleared by train.
  // Used with the interpreter lock held: encode does not release it.
  ClusterCache clusters;
  // 0 free, n > 0 shared borrows, -1 one exclusive borrow. Only touched with
  // the interpreter lock held, so a plain integer.
  std::int32_t borrow_flag;
};

// Created at first need and kept for the life of the process.
PyObject* data_type = nullptr;

// Holds a shared or exclusive borrow of a Data object, and a reference to
// it, for the length of one call.
class Borrow {
 public:
  enum class Mode { kShared, kExclusive };

  // Checks the receiver's type, then takes the borrow; throws PythonError.
  Borrow(PyObject* receiver, Mode mode) : mode_(mode) {
    // data_type exists: its methods are the only way here.
    if (!PyObject_TypeCheck(receiver, reinterpret_cast<PyTypeObject*>(data_type))) {
      throw conversion_error(receiver, "Data");
    }
    auto* data = reinterpret_cast<DataObject*>(receiver);
    if (mode == Mode::kShared) {
      if (data->borrow_flag == -1) throw new_error(PyExc_RuntimeError, "Already mutably borrowed");
      ++data->borrow_flag;
    } else {
      if (data->borrow_flag != 0) throw new_error(PyExc_RuntimeError, "Already borrowed");
      data->borrow_flag = -1;
    }
    owner_ = PyRef::borrow(receiver);
    data_ = data;
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() {
    if (mode_ == Mode::kShared) {
      --data_->borrow_flag;
    } else {
      data_->borrow_flag = 0;
    }
    // owner_ lets go of the receiver after the flag is back.
  }

  Model& model() const { return data_->model; }
  ClusterCache& clusters() const { return data_->clusters; }

 private:
  Mode mode_;
  PyRef owner_;
  DataObject* data_ = nullptr;
};

// Runs one argument conversion; its error becomes the caller's error for
// that parameter.
template <class Convert>
auto convert_argument(const char* name, PyObject* value, Convert convert) {
  try {
    return convert(value);
  } catch (PythonError& error) {
    throw wrap_argument_error(name, std::move(error));
  }
}

// train's interrupt check: a signal handler that raised (Ctrl-C) ends the
// training as that Python exception.
void check_signals() {
  if (PyErr_CheckSignals() < 0) throw fetch_error();
}

constexpr Parameters<3> kTrain{"Data", "train", {"train_file", "print_logs", "logs_file"}};
constexpr Parameters<1> kEncode{"Data", "encode", {"st"}};
constexpr Parameters<1> kDecode{"Data", "decode", {"tokens"}};
constexpr Parameters<1> kLoad{nullptr, "load_from_file", {"filename"}};

PyObject* data_train(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&] {
    const auto slots = match_arguments(kTrain, args, nargs, kwnames);
    Borrow borrow(self, Borrow::Mode::kExclusive);
    std::string_view train_file = convert_argument("train_file", slots[0], to_text);
    bool print_logs = convert_argument("print_logs", slots[1], to_bool);
    std::string_view logs_file = convert_argument("logs_file", slots[2], to_text);
    // Whatever training changes, even when it fails half way, the cached
    // cluster ids go with the model they came from.
    struct ForgetClusters {
      ClusterCache& clusters;
      ~ForgetClusters() { clusters.clear(); }
    } forget{borrow.clusters()};
    train(borrow.model(), train_file, print_logs, logs_file, check_signals);
    return PyRef::borrow(Py_None);
  });
}

PyObject* data_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&] {
    const auto slots = match_arguments(kEncode, args, nargs, kwnames);
    Borrow borrow(self, Borrow::Mode::kShared);
    std::string_view text = convert_argument("st", slots[0], to_text);
    return to_list(encode(borrow.model(), text, borrow.clusters()));
  });
}

PyObject* data_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_boundary([&] {
    const auto slots = match_arguments(kDecode, args, nargs, kwnames);
    Borrow borrow(self, Borrow::Mode::kShared);
    std::vector<TokenId> ids = convert_argument("tokens", slots[0], to_token_ids);
    return to_str(decode(borrow.model(), ids));
  });
}

PyObject* data_vocab(PyObject* self, PyObject* /*unused*/) {
  return call_boundary([&] {
    Borrow borrow(self, Borrow::Mode::kShared);
    const auto& lookup = borrow.model().lookup;
    std::vector<TokenId> ids;
    ids.reserve(lookup.size());
    for (const auto& entry : lookup) ids.push_back(entry.first);
    return to_list(ids);
  });
}

PyObject* data_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  return call_boundary(
      []() -> PyRef { throw new_error(PyExc_TypeError, "No constructor defined"); });
}

void data_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<DataObject*>(self)->clusters.~ClusterCache();
  reinterpret_cast<DataObject*>(self)->model.~Model();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

#define VELKOR_FASTCALL(function) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

PyMethodDef data_methods[] = {
    {"train", VELKOR_FASTCALL(data_train), METH_FASTCALL | METH_KEYWORDS,
     "train($self, train_file, print_logs, logs_file)\n--\n\n"},
    {"encode", VELKOR_FASTCALL(data_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, st)\n--\n\n"},
    {"decode", VELKOR_FASTCALL(data_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, tokens)\n--\n\n"},
    {"vocab", data_vocab, METH_NOARGS, "vocab($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot data_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(data_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(data_dealloc)},
    {Py_tp_methods, data_methods},
    {0, nullptr},
};

// Default flags only: no subclasses, no GC, no __dict__, no weak references.
PyType_Spec data_spec = {"builtins.Data", sizeof(DataObject), 0, Py_TPFLAGS_DEFAULT, data_slots};

// Borrowed reference to the Data type, created on first need.
PyObject* get_data_type() {
  if (data_type == nullptr) {
    data_type = PyType_FromSpec(&data_spec);
    if (data_type == nullptr) throw fetch_error();
  }
  return data_type;
}

// A new Data object owning the model.
PyRef wrap_model(Model model) {
  auto* type = reinterpret_cast<PyTypeObject*>(get_data_type());
  PyRef object = PyRef::steal(type->tp_alloc(type, 0));
  if (!object) {
    PythonError error = fetch_error();
    fail("called `Result::unwrap()` on an `Err` value: " + render_python_error(error.exception()));
  }
  auto* data = reinterpret_cast<DataObject*>(object.get());
  static_assert(std::is_nothrow_move_constructible_v<Model>);
  new (&data->model) Model(std::move(model));
  new (&data->clusters) ClusterCache();  // cannot throw
  data->borrow_flag = 0;
  return object;
}

PyObject* load_from_file(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return call_boundary([&] {
    const auto slots = match_arguments(kLoad, args, nargs, kwnames);
    std::string_view filename = convert_argument("filename", slots[0], to_text);
    return wrap_model(load_model_file(filename));
  });
}

PyMethodDef module_methods[] = {
    {"load_from_file", VELKOR_FASTCALL(load_from_file), METH_FASTCALL | METH_KEYWORDS,
     "load_from_file(filename)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// module.Data and __all__ naming it and load_from_file.
void module_body(PyObject* module) {
  if (PyModule_AddObjectRef(module, "Data", get_data_type()) < 0) throw fetch_error();
  PyRef all = PyRef::steal(Py_BuildValue("[ss]", "Data", "load_from_file"));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) throw fetch_error();
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velkor", "", 0, module_methods, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first imported the module; the module holds process
// globals (the type, the exception) that cannot be shared with another one.
std::atomic<std::int64_t> owning_interpreter{-1};
// Kept for the life of the process: a repeated import returns it.
PyObject* module_object = nullptr;

// Creates the exception machinery's per-thread state for the importing
// thread. A library loaded at run time gets that state on first use, and
// when memory has run out by then (the very moment a std::bad_alloc is
// thrown) the process aborts instead of raising MemoryError.
void prepare_exceptions() {
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
}

PyRef initialise() {
  prepare_exceptions();
  set_signal_check(check_signals);
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw fetch_error();
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw new_error(PyExc_ImportError,
                    "velkor: modules of this kind do not yet support subinterpreters; it can "
                    "only be imported in the first interpreter of the process that imports it");
  }
  if (module_object != nullptr) return PyRef::borrow(module_object);
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) throw fetch_error();
  module_body(module.get());
  module_object = Py_NewRef(module.get());
  return module;
}

}  // namespace
}  // namespace velkor::binding

PyMODINIT_FUNC PyInit_velkor() {
  return velkor::binding::call_boundary(velkor::binding::initialise);
}
