#include "native/tokenizer.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/py_ref.h"
#include "codec/batch.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "files/io.h"
#include "model/model.h"
#include "model/tokenizer_file.h"
#include "model/trim.h"
#include "native/array.h"
#include "native/errors.h"
#include "native/ids.h"
#include "unicode/grapheme.h"

namespace velkor::native {
namespace {

using binding::PyRef;

// Everything a Tokenizer holds; never changed after construction, so every
// thread may read it. The pool refers to the model: both stay in place.
struct State {
  explicit State(Model from) : model(std::move(from)), pool(model) {
    for (const auto& [id, bytes] : model.lookup) by_bytes.try_emplace(bytes, id);  // lowest first
  }
  Model model;
  EncoderPool pool;
  HashMap<std::string, TokenId> by_bytes;
};

struct TokenizerObject {
  PyObject_HEAD State* state;  // owned; null only if construction failed
};

State& state_of(PyObject* self) {
  State* state = reinterpret_cast<TokenizerObject*>(self)->state;
  if (state == nullptr) raise(PyExc_ValueError, "the Tokenizer was not initialised");
  return *state;
}

std::string_view utf8_of(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    raise(PyExc_TypeError, std::string("text must be a str, not '") + Py_TYPE(text)->tp_name + "'");
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw ErrorSet{};
  return {data, static_cast<std::size_t>(size)};
}

Encoding encoding_of(int complete) {
  return complete != 0 ? Encoding::kComplete : Encoding::kStandard;
}

unsigned threads_of(Py_ssize_t num_threads) {
  if (num_threads < 1) raise(PyExc_ValueError, "num_threads must be at least 1");
  return static_cast<unsigned>(std::min<Py_ssize_t>(num_threads, 1024));
}

PyObject* to_list(const std::vector<TokenId>& ids) {
  PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), checked(PyLong_FromLong(ids[i])));
  }
  return list.release();
}

PyObject* to_str(std::string_view text) {
  return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// The UTF-8 views of a sequence of str, valid while `holder` lives. The
// holder is a tuple of the items, not the caller's list: while the lock is
// released, another thread (or a signal handler) may replace a list's items
// and free the strings the views point into.
std::vector<std::string_view> texts_of(PyObject* texts, PyRef& holder) {
  if (PyUnicode_Check(texts)) raise(PyExc_TypeError, "texts must be a sequence of str, not a str");
  if (PyBytes_Check(texts) || PyByteArray_Check(texts) ||
      (Py_TYPE(texts)->tp_iter == nullptr && !PySequence_Check(texts))) {
    raise(PyExc_TypeError,
          std::string("texts must be a sequence of str, not '") + Py_TYPE(texts)->tp_name + "'");
  }
  holder = PyRef::steal(checked(PySequence_Tuple(texts)));
  const Py_ssize_t count = PyTuple_GET_SIZE(holder.get());
  std::vector<std::string_view> views;
  views.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i)
    views.push_back(utf8_of(PyTuple_GET_ITEM(holder.get(), i)));
  return views;
}

// The ids of encode_batch(texts, num_threads, *, complete=False), parsed
// under the method name in format; throws ErrorSet when the arguments are
// refused.
std::vector<std::vector<TokenId>> run_encode_batch(PyObject* self, PyObject* args, PyObject* kwargs,
                                                   const char* format) {
  static const char* names[] = {"texts", "num_threads", "complete", nullptr};
  PyObject* texts = nullptr;
  Py_ssize_t num_threads = 1;
  int complete = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &texts,
                                   &num_threads, &complete)) {
    throw ErrorSet{};
  }
  State& state = state_of(self);
  PyRef holder;
  const auto views = texts_of(texts, holder);
  const unsigned threads = threads_of(num_threads);
  Unlocked unlocked;
  return encode_batch(state.pool, views, encoding_of(complete), threads,
                      [&] { return unlocked.poll(); });
}

// --- methods ---------------------------------------------------------------

PyObject* tokenizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* names[] = {"data", nullptr};
    Py_buffer data;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*:Tokenizer", const_cast<char**>(names),
                                     &data)) {
      return nullptr;
    }
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&data};
    PyRef self = PyRef::steal(checked(type->tp_alloc(type, 0)));
    std::unique_ptr<State> state;
    {
      std::string_view image(static_cast<const char*>(data.buf),
                             static_cast<std::size_t>(data.len));
      // Another thread may write a writable buffer while the lock is released.
      std::string copy;
      if (!data.readonly) image = copy.assign(image);
      Unlocked unlocked;
      state = std::make_unique<State>(read_model(image));
    }
    reinterpret_cast<TokenizerObject*>(self.get())->state = state.release();
    return self.release();
  });
}

void tokenizer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<TokenizerObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

// The ids of encode(text, *, complete=False), parsed under the method name in
// format; throws ErrorSet when the arguments are refused.
std::vector<TokenId> encode_one(PyObject* self, PyObject* args, PyObject* kwargs,
                                const char* format) {
  static const char* names[] = {"text", "complete", nullptr};
  PyObject* text = nullptr;
  int complete = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), &text,
                                   &complete)) {
    throw ErrorSet{};
  }
  State& state = state_of(self);
  const std::string_view utf8 = utf8_of(text);
  Unlocked unlocked;
  return state.pool.take()->encode(utf8, encoding_of(complete));
}

PyObject* tokenizer_encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary(
      [&]() -> PyObject* { return to_list(encode_one(self, args, kwargs, "O|$p:encode")); });
}

PyObject* tokenizer_encode_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    return wrap_array(encode_one(self, args, kwargs, "O|$p:encode_to_numpy"));
  });
}

PyObject* tokenizer_encode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    const auto results = run_encode_batch(self, args, kwargs, "On|$p:encode_batch");
    PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(results.size()))));
    for (std::size_t i = 0; i < results.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_list(results[i]));
    }
    return list.release();
  });
}

PyObject* tokenizer_encode_batch_arrays(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto results = run_encode_batch(self, args, kwargs, "On|$p:encode_batch_to_numpy");
    std::vector<TokenId> ids;
    std::vector<std::int64_t> offsets;
    {
      Unlocked unlocked;
      offsets.reserve(results.size() + 1);
      offsets.push_back(0);
      for (const auto& one : results) {
        offsets.push_back(offsets.back() + static_cast<std::int64_t>(one.size()));
      }
      ids.reserve(static_cast<std::size_t>(offsets.back()));
      for (auto& one : results) {
        ids.insert(ids.end(), one.begin(), one.end());
        std::vector<TokenId>().swap(one);
      }
    }
    PyRef id_array = PyRef::steal(wrap_array(std::move(ids)));
    PyRef offset_array = PyRef::steal(wrap_array(std::move(offsets)));
    return checked(PyTuple_Pack(2, id_array.get(), offset_array.get()));
  });
}

PyObject* tokenizer_decode(PyObject* self, PyObject* ids_object) {
  return boundary([&]() -> PyObject* {
    State& state = state_of(self);
    const std::vector<TokenId> ids = to_ids(ids_object, state.model);
    std::string text;
    {
      Unlocked unlocked;
      text = decode(state.model, ids);
    }
    return to_str(text);
  });
}

PyObject* tokenizer_decode_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* names[] = {"batch", "num_threads", nullptr};
    PyObject* batch = nullptr;
    Py_ssize_t num_threads = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "On:decode_batch", const_cast<char**>(names),
                                     &batch, &num_threads)) {
      return nullptr;
    }
    State& state = state_of(self);
    const unsigned threads = threads_of(num_threads);
    if (PyUnicode_Check(batch) || PyBytes_Check(batch)) {
      raise(PyExc_TypeError, "batch must be a sequence of id sequences");
    }
    PyRef items = PyRef::steal(checked(PySequence_Fast(batch, "batch must be a sequence")));
    std::vector<std::vector<TokenId>> lists;
    lists.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
      PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
      lists.push_back(to_ids(item.get(), state.model));
    }
    std::vector<std::string> texts;
    {
      Unlocked unlocked;
      texts = decode_batch(state.model, lists, threads, [&] { return unlocked.poll(); });
    }
    PyRef list = PyRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(texts.size()))));
    for (std::size_t i = 0; i < texts.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_str(texts[i]));
    }
    return list.release();
  });
}

PyObject* tokenizer_id_to_token(PyObject* self, PyObject* id) {
  return boundary([&]() -> PyObject* {
    State& state = state_of(self);
    const std::string& bytes = state.model.lookup.at(to_known_id(id, state.model));
    return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  });
}

PyObject* tokenizer_token_to_id(PyObject* self, PyObject* token) {
  return boundary([&]() -> PyObject* {
    State& state = state_of(self);
    std::string key;
    if (PyBytes_Check(token)) {
      key.assign(PyBytes_AS_STRING(token), static_cast<std::size_t>(PyBytes_GET_SIZE(token)));
    } else if (PyUnicode_Check(token)) {
      key = utf8_of(token);
    } else {
      raise(PyExc_TypeError,
            std::string("a token must be str or bytes, not '") + Py_TYPE(token)->tp_name + "'");
    }
    auto found = state.by_bytes.find(key);
    if (found == state.by_bytes.end()) Py_RETURN_NONE;
    return checked(PyLong_FromLong(found->second));
  });
}

PyObject* tokenizer_unknown_clusters(PyObject* self, PyObject* text) {
  return boundary([&]() -> PyObject* {
    State& state = state_of(self);
    const std::string_view utf8 = utf8_of(text);
    std::vector<std::pair<std::string, std::size_t>> found;
    {
      Unlocked unlocked;
      found = unknown_clusters(state.model, utf8);
    }
    PyRef dict = PyRef::steal(checked(PyDict_New()));
    for (const auto& [cluster, count] : found) {
      PyRef key = PyRef::steal(to_str(cluster));
      PyRef value = PyRef::steal(checked(PyLong_FromSize_t(count)));
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw ErrorSet{};
    }
    return dict.release();
  });
}

PyObject* tokenizer_trimmed(PyObject* self, PyObject* size_object) {
  return boundary([&]() -> PyObject* {
    const std::size_t size = PyLong_AsSize_t(size_object);
    if (size == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw ErrorSet{};
    State& state = state_of(self);
    std::string image;
    {
      Unlocked unlocked;
      image = write_model(trim_to_size(state.model, size));
    }
    return checked(PyBytes_FromStringAndSize(image.data(), static_cast<Py_ssize_t>(image.size())));
  });
}

PyObject* tokenizer_count_clusters(PyObject* /*self*/, PyObject* text) {
  return boundary([&]() -> PyObject* {
    const std::string_view utf8 = utf8_of(text);
    std::size_t count = 0;
    {
      Unlocked unlocked;
      for_each_grapheme(utf8, [&](std::string_view) { ++count; });
    }
    return checked(PyLong_FromSize_t(count));
  });
}

PyObject* tokenizer_to_bytes(PyObject* self, PyObject* /*unused*/) {
  return boundary([&]() -> PyObject* {
    State& state = state_of(self);
    std::string image;
    {
      Unlocked unlocked;
      image = write_model(state.model);
    }
    return checked(PyBytes_FromStringAndSize(image.data(), static_cast<Py_ssize_t>(image.size())));
  });
}

PyObject* tokenizer_save(PyObject* self, PyObject* path) {
  return boundary([&]() -> PyObject* {
    State& state = state_of(self);
    PyObject* converted = nullptr;  // a new reference to bytes once it succeeds
    if (!PyUnicode_FSConverter(path, &converted)) return nullptr;
    const PyRef encoded = PyRef::steal(converted);
    const std::string target(PyBytes_AS_STRING(encoded.get()),
                             static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    try {
      // Unlocked: other threads go on while a slow disk writes; an
      // interrupted write runs the module's signal check (Ctrl-C).
      Unlocked unlocked;
      replace_file(target, write_model(state.model));
    } catch (const IoError& error) {
      if (error.kind != IoError::Kind::Os) {
        raise(PyExc_ValueError, "cannot save to " + target + ": " + error.render());
      }
      errno = error.code;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
      throw ErrorSet{};
    }
    Py_RETURN_NONE;
  });
}

PyObject* tokenizer_vocab_size(PyObject* self, void* /*unused*/) {
  return boundary([&]() -> PyObject* {
    return checked(PyLong_FromSize_t(state_of(self).model.lookup.size()));
  });
}

Py_ssize_t tokenizer_length(PyObject* self) {
  State* state = reinterpret_cast<TokenizerObject*>(self)->state;
  return state == nullptr ? 0 : static_cast<Py_ssize_t>(state->model.lookup.size());
}

PyMethodDef methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenizer_encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode($self, text, *, complete=False)\n--\n\nThe token ids of text, as a list: "
     "velkor's Data.encode ids, or with complete=True the complete encoding's "
     "(every learned merge that applies: fewer tokens)."},
    {"_encode_array",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenizer_encode_array)),
     METH_VARARGS | METH_KEYWORDS, "Ids of text in a buffer of uint16."},
    {"_encode_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenizer_encode_batch)),
     METH_VARARGS | METH_KEYWORDS, "encode of every text, on num_threads native threads."},
    {"_encode_batch_arrays",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenizer_encode_batch_arrays)),
     METH_VARARGS | METH_KEYWORDS, "All texts' ids in one uint16 buffer, and int64 offsets."},
    {"decode", tokenizer_decode, METH_O,
     "decode($self, ids, /)\n--\n\nThe text of a sequence or integer buffer of ids."},
    {"_decode_batch",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tokenizer_decode_batch)),
     METH_VARARGS | METH_KEYWORDS, "decode of every id sequence, on num_threads native threads."},
    {"id_to_token", tokenizer_id_to_token, METH_O,
     "id_to_token($self, id, /)\n--\n\nThe bytes the id stands for."},
    {"token_to_id", tokenizer_token_to_id, METH_O,
     "token_to_id($self, token, /)\n--\n\nThe lowest id with these bytes, or None."},
    {"unknown_clusters", tokenizer_unknown_clusters, METH_O,
     "unknown_clusters($self, text, /)\n--\n\nClusters of text the model lacks, with counts."},
    {"_trimmed", tokenizer_trimmed, METH_O,
     "The model with merged tokens dropped, highest id first, down to size tokens, renumbered "
     "(a tokenizer file's bytes)."},
    {"count_clusters", tokenizer_count_clusters, METH_O,
     "count_clusters($self, text, /)\n--\n\nThe number of grapheme clusters of text."},
    {"to_bytes", tokenizer_to_bytes, METH_NOARGS,
     "to_bytes($self, /)\n--\n\nThe model as a tokenizer file's bytes."},
    {"_save", tokenizer_save, METH_O, "Replaces the file at path with the model (atomically)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"vocab_size", tokenizer_vocab_size, nullptr, "The number of tokens.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tokenizer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tokenizer_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_sq_length, reinterpret_cast<void*>(tokenizer_length)},
    {Py_mp_length, reinterpret_cast<void*>(tokenizer_length)},
    {Py_tp_doc, const_cast<char*>("Tokenizer(data)\n--\n\nA tokenizer model from a tokenizer "
                                  "file's bytes, read-only: any thread may use it.")},
    {0, nullptr},
};

PyType_Spec type_def = {"velkor_tools._native.Tokenizer", sizeof(TokenizerObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};

PyObject* type_object = nullptr;

}  // namespace

PyObject* tokenizer_type() {
  if (type_object == nullptr) type_object = checked(PyType_FromSpec(&type_def));
  return type_object;
}

}  // namespace velkor::native
