// Saving and loading that raise instead of ending the process, the byte form
// of a tokenizer, and the pickle and copy protocols built on it.
#include <cstring>
#include <string>

#include "conversions.hpp"
#include "interpreter_lock.hpp"
#include "model_state.hpp"
#include "py_instance.hpp"
#include "py_tokenizer_extensions.hpp"

namespace wordloom::python {
namespace {

// The class is named builtins.BpeTokenizer, where pickle cannot look it up, so
// pickles name this importable function to rebuild a tokenizer instead.
constexpr const char* kRestoreModule = "wordloom_tools._pickling";
constexpr const char* kRestoreFunction = "restore_tokenizer";

// OSError(errno, strerror, path); the constructor picks the subclass, such as
// FileNotFoundError.
[[noreturn]] void raise_os_error(int error_number, const std::string& path) {
  const PyRef filename = path.empty() ? PyRef::borrow(Py_None) : to_python_path(path);
  PyObject* error = PyObject_CallFunction(PyExc_OSError, "isO", error_number, std::strerror(error_number),
                                          filename.get());
  if (error != nullptr) PyErr_SetRaisedException(error);  // steals
  throw PythonError{};
}

// OSError for what the operating system refused, ValueError for a malformed
// file (prefixed by its path), RuntimeError for anything else.
[[noreturn]] void raise_model_files_error(const TokenizerError& error) {
  if (error.os_error_number() != 0) raise_os_error(error.os_error_number(), error.path());
  if (error.kind() != TokenizerError::Kind::JsonError) raise_error(PyExc_RuntimeError, error.display());
  raise_error(PyExc_ValueError, error.path().empty() ? error.display() : error.path() + ": " + error.display());
}

const Model& trained_model(const BpeTokenizer& tokenizer) {
  if (!tokenizer.trained()) raise_error(PyExc_RuntimeError, "Cannot save a tokenizer that is not trained");
  return *tokenizer.model;
}

PyRef save_pretrained(const BpeTokenizer& tokenizer, const std::string& output_dir) {
  if (Result<void> saved = save_model_files(trained_model(tokenizer), output_dir); !saved) {
    raise_model_files_error(saved.error());
  }
  return PyRef::borrow(Py_None);
}

PyRef to_bytes(const BpeTokenizer& tokenizer) {
  const std::string state = encode_tokenizer_state(tokenizer);
  return checked(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
}

// A bytes-like argument's contents, valid while the view is held.
class ReadBuffer {
 public:
  explicit ReadBuffer(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) throw PythonError{};
  }
  ~ReadBuffer() { PyBuffer_Release(&view_); }
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;

  std::string_view bytes() const { return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)}; }

 private:
  Py_buffer view_;
};

ReadBuffer to_read_buffer(PyObject* object) { return ReadBuffer(object); }

PyRef reduce(const BpeTokenizer& tokenizer) {
  const PyRef module = checked(PyImport_ImportModule(kRestoreModule));
  const PyRef restore = checked(PyObject_GetAttrString(module.get(), kRestoreFunction));
  const PyRef state = to_bytes(tokenizer);
  return checked(Py_BuildValue("(O(O))", restore.get(), state.get()));
}

PyRef copy(const BpeTokenizer& tokenizer) { return new_instance(tokenizer.copy()); }

PyRef deep_copy(const BpeTokenizer& tokenizer, PyObject* /*memo: nothing to share*/) { return copy(tokenizer); }

PyObject* as_is(PyObject* object) { return object; }

constexpr Signature<1> kSavePretrained{"BpeTokenizer.save_pretrained()", {"output_dir"}, 1};
constexpr Signature<1> kLoad{"BpeTokenizer.load()", {"files_path"}, 1};
constexpr Signature<1> kFromBytes{"BpeTokenizer.from_bytes()", {"data"}, 1};
constexpr Signature<1> kDeepCopy{"BpeTokenizer.__deepcopy__()", {"memo"}, 1};

}  // namespace

PyObject* save_pretrained_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
  return shared_method<BpeTokenizer, kSavePretrained, to_fs_path, save_pretrained>(self, args, nargs, kwnames);
}

PyObject* load_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const std::string files_path = bind(kLoad, args, nargs, kwnames).convert(0, to_fs_path);
    // Reading and parsing the files touches no Python object: other threads
    // (the command line reading its input) run meanwhile.
    Result<BpeTokenizer> loaded = [&files_path] {
      const InterpreterLockReleased unlocked;
      return BpeTokenizer::new_from_pretrained(files_path);
    }();
    if (!loaded) raise_model_files_error(loaded.error());
    return new_instance(std::move(loaded).value());
  });
}

PyObject* to_bytes_method(PyObject* self, PyObject*) noexcept {
  return shared_noargs_method<BpeTokenizer, to_bytes>(self, nullptr);
}

PyObject* from_bytes_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto data = bind(kFromBytes, args, nargs, kwnames).convert(0, to_read_buffer);
    expected<BpeTokenizer, std::string> decoded = decode_tokenizer_state(data.bytes());
    if (!decoded) raise_error(PyExc_ValueError, decoded.error());
    return new_instance(std::move(decoded).value());
  });
}

PyObject* reduce_method(PyObject* self, PyObject*) noexcept {
  return shared_noargs_method<BpeTokenizer, reduce>(self, nullptr);
}

PyObject* copy_method(PyObject* self, PyObject*) noexcept {
  return shared_noargs_method<BpeTokenizer, copy>(self, nullptr);
}

PyObject* deepcopy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return shared_method<BpeTokenizer, kDeepCopy, as_is, deep_copy>(self, args, nargs, kwnames);
}

}  // namespace wordloom::python
