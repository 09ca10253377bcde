// Batch encoding: the texts are taken out of Python first (held, never
// changed), then encoded on native threads with the interpreter lock
// released, so other Python threads run meanwhile; the calling thread takes
// the lock back only to turn finished texts into lists. The receiver stays
// borrowed (shared) for the whole call, so a concurrent train() on it fails
// with "Already borrowed".
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "batch_encoding.hpp"
#include "conversions.hpp"
#include "interpreter_lock.hpp"
#include "py_instance.hpp"
#include "py_tokenizer_extensions.hpp"
#include "readonly_array.hpp"
#include "worker_pool.hpp"

namespace wordloom::python {
namespace {

// operator.index() of the object, at least 1.
unsigned to_thread_count(PyObject* object) {
  const PyRef index = checked(PyNumber_Index(object));
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (value < 1) raise_error(PyExc_ValueError, "num_threads must be at least 1");
  return static_cast<unsigned>(std::min<long long>(value, std::numeric_limits<unsigned>::max()));
}

// Runs `encode` (given the released lock) with the interpreter lock released.
template <typename Encode>
auto encode_unlocked(Encode&& encode) {
  try {
    InterpreterLockReleased unlocked;
    return encode(unlocked);
  } catch (const UnknownCharacterInText& failure) {
    raise_error(PyExc_ValueError, failure.what());
  }
}

// Binds (texts, num_threads) and hands the texts to `encode_texts`, which
// encodes them and builds the result.
template <const auto& signature, auto encode_texts>
PyObject* batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(signature, args, nargs, kwnames);
    PyBpeTokenizer& receiver = instance_of<BpeTokenizer>(self);
    const SharedBorrow borrow(receiver.borrow_flag);
    const TextViews texts = arguments.convert(0, to_text_views);
    const unsigned threads = arguments.convert_optional(1, to_thread_count).value_or(default_worker_threads());
    const std::shared_ptr<const Model> model = receiver.record.model;
    if (!model) raise_error(PyExc_RuntimeError, "Cannot encode text without training the tokenizer");
    return encode_texts(*model, texts.texts, threads);
  });
}

// Python ints for the ids of one result. A long result repeats few distinct
// ids, so each id's int is made once and shared, which spares an allocation
// per id; a short one makes its ints as they come.
class IdInts {
 public:
  IdInts(std::size_t ids, std::size_t vocab_size) {
    if (ids >= vocab_size / kIdsPerSharedInt) shared_.resize(vocab_size);
  }

  PyRef operator()(TokenId id) {
    if (id >= shared_.size()) return to_python_int(id);
    PyRef& shared = shared_[id];
    if (!shared) shared = to_python_int(id);
    return PyRef::borrow(shared.get());
  }

 private:
  // Below this many ids per token of the vocabulary, the table costs more than it saves.
  static constexpr std::size_t kIdsPerSharedInt = 8;
  std::vector<PyRef> shared_;  // by id, made on first use
};

// Keeps the cyclic garbage collector still while many lists are made: each
// new list counts toward a collection, and the collections would traverse
// the growing result again and again. Lists of ints form no cycles.
class CollectorPaused {
 public:
  CollectorPaused() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPaused() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;

 private:
  bool was_enabled_;
};

// About how many ids the texts make at the most.
std::size_t expected_ids(std::span<const std::string_view> texts) {
  std::size_t bytes = 0;
  for (std::string_view text : texts) bytes += text.size();
  return bytes / kFewestBytesPerId;
}

// The lists of ids, each made as soon as its texts are encoded: the calling
// thread makes them between chunks of its own share of the encoding.
PyRef id_lists(const Model& model, std::span<const std::string_view> texts, unsigned threads) {
  PyRef lists = checked(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  const CollectorPaused collector_paused;
  IdInts id_ints(expected_ids(texts), model.token_table.size());
  const auto make_lists = [&](std::size_t first_text, std::span<const TokenId> ids,
                              std::span<const std::size_t> ends) {
    std::size_t begin = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
      PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(first_text + i),
                      to_python_list(ids.subspan(begin, ends[i] - begin), id_ints).release());
      begin = ends[i];
    }
  };
  encode_unlocked([&](InterpreterLockReleased& unlocked) {
    encode_batch(model, texts, threads, [&unlocked] { unlocked.check_signals(); },
                 [&](std::size_t first_text, std::span<const TokenId> ids, std::span<const std::size_t> ends) {
                   unlocked.with_lock([&] { make_lists(first_text, ids, ends); });
                 });
  });
  return lists;
}

PyRef id_arrays(const Model& model, std::span<const std::string_view> texts, unsigned threads) {
  EncodedBatch batch = encode_unlocked([&](InterpreterLockReleased& unlocked) {
    return encode_batch(model, texts, threads, [&unlocked] { unlocked.check_signals(); });
  });
  const PyRef ids = readonly_view(std::move(batch.ids));
  const PyRef offsets = readonly_view(std::move(batch.offsets));
  return checked(PyTuple_Pack(2, ids.get(), offsets.get()));
}

PyRef encoded_ids(const BpeTokenizer& tokenizer, const Utf8Text& text) {
  const std::vector<TokenId> ids = value_or_raise(tokenizer.encode_ids(text.text, check_signals));
  return to_python_list(ids, IdInts(ids.size(), tokenizer.vocab_size()));
}

constexpr Signature<2> kEncodeBatch{"BpeTokenizer.encode_batch()", {"texts", "num_threads"}, 1};
constexpr Signature<2> kEncodeBatchArrays{"BpeTokenizer.encode_batch_arrays()", {"texts", "num_threads"}, 1};
constexpr Signature<1> kEncodeIds{"BpeTokenizer.encode_ids()", {"text"}, 1};

}  // namespace

PyObject* encode_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return batch_method<kEncodeBatch, id_lists>(self, args, nargs, kwnames);
}

PyObject* encode_batch_arrays_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept {
  return batch_method<kEncodeBatchArrays, id_arrays>(self, args, nargs, kwnames);
}

PyObject* encode_ids_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return shared_method<BpeTokenizer, kEncodeIds, to_utf8_text, encoded_ids>(self, args, nargs, kwnames);
}

}  // namespace wordloom::python
