// Batch encoding: the texts are taken out of Python first (held, never
// changed), then encoded on native threads with the interpreter lock
// released, so other Python threads run meanwhile. The receiver stays borrowed (shared) for the whole call, so a
// concurrent train() on it fails with "Already borrowed".
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

EncodedBatch encode_unlocked(const Model& model, std::span<const std::string_view> texts, unsigned threads) {
  try {
    InterpreterLockReleased unlocked;
    return encode_batch(model, texts, threads, [&unlocked] { unlocked.check_signals(); });
  } catch (const UnknownCharacterInText& failure) {
    raise_error(PyExc_ValueError, failure.what());
  }
}

// Binds (texts, num_threads), encodes the texts and hands the batch to
// `build_result`.
template <const auto& signature, auto build_result>
PyObject* batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(signature, args, nargs, kwnames);
    PyBpeTokenizer& receiver = instance_of<BpeTokenizer>(self);
    const SharedBorrow borrow(receiver.borrow_flag);
    const TextViews texts = arguments.convert(0, to_text_views);
    const unsigned threads = arguments.convert_optional(1, to_thread_count).value_or(default_worker_threads());
    const std::shared_ptr<const Model> model = receiver.record.model;
    if (!model) raise_error(PyExc_RuntimeError, "Cannot encode text without training the tokenizer");
    return build_result(encode_unlocked(*model, texts.texts, threads));
  });
}

PyRef to_python_id(TokenId id) { return to_python_int(id); }

PyRef id_lists(EncodedBatch batch) {
  const std::size_t texts = batch.offsets.size() - 1;
  PyRef lists = checked(PyList_New(static_cast<Py_ssize_t>(texts)));
  const std::span<const TokenId> ids(batch.ids);
  for (std::size_t i = 0; i < texts; ++i) {
    const std::span<const TokenId> text_ids = ids.subspan(batch.offsets[i], batch.offsets[i + 1] - batch.offsets[i]);
    PyList_SET_ITEM(lists.get(), static_cast<Py_ssize_t>(i), to_python_list(text_ids, to_python_id).release());
  }
  return lists;
}

PyRef id_arrays(EncodedBatch batch) {
  const PyRef ids = readonly_view(std::move(batch.ids));
  const PyRef offsets = readonly_view(std::move(batch.offsets));
  return checked(PyTuple_Pack(2, ids.get(), offsets.get()));
}

PyRef encoded_ids(const BpeTokenizer& tokenizer, std::string_view text) {
  return to_python_list(value_or_raise(tokenizer.encode_ids(text, check_signals)), to_python_id);
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
  return shared_method<BpeTokenizer, kEncodeIds, to_utf8, encoded_ids>(self, args, nargs, kwnames);
}

}  // namespace wordloom::python
