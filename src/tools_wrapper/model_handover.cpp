#include "model_handover.hpp"

#include "binder.hpp"
#include "model_state.hpp"

namespace wordloom::python {

void save_model_or_raise(const Model& model, const FileSystemPath& directory) {
  if (Result<void> saved = save_model_files(model, directory.encoded); !saved) {
    PyErr_Format(PyExc_OSError, "cannot save the model to %R: %s", directory.shown().get(),
                 saved.error().display().c_str());
    throw PythonError{};
  }
}

PyRef tokenizer_holding(const Model& model) {
  const std::string state = encode_model_state(model);
  const PyRef bytes = checked(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
  const PyRef handover = checked(PyImport_ImportModule("wordloom_tools._tokenizer_state"));
  return checked(PyObject_CallMethod(handover.get(), "_tokenizer_from_model_state", "O", bytes.get()));
}

namespace {

constexpr Signature<2> kSaveModelState{"_save_model_state()", {"state", "directory"}, 2};

}  // namespace

PyObject* save_model_state(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(kSaveModelState, args, nargs, kwnames);
    auto model = decode_model_state(arguments.convert(0, to_bytes));
    const FileSystemPath directory = arguments.convert(1, to_file_system_path);
    if (!model) raise_error(PyExc_ValueError, model.error());
    save_model_or_raise(**model, directory);
    return PyRef::borrow(Py_None);
  });
}

}  // namespace wordloom::python
