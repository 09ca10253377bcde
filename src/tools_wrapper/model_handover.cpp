#include "model_handover.hpp"

#include "errors.hpp"
#include "model_state.hpp"

namespace wordloom::python {

void save_model_or_raise(const Model& model, const FileSystemPath& directory) {
  if (Result<void> saved = save_model_files(model, directory.encoded); !saved) {
    PyErr_Format(PyExc_OSError, "cannot save the model to %R: %s", directory.shown().get(),
                 saved.error().display().c_str());
    throw PythonError{};
  }
}

PyRef tokenizer_holding(std::shared_ptr<const Model> model) {
  const std::string state = encode_tokenizer_state(BpeTokenizer::holding(std::move(model)));
  const PyRef bytes = checked(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
  const PyRef wordloom = checked(PyImport_ImportModule("wordloom"));
  const PyRef tokenizer_class = checked(PyObject_GetAttrString(wordloom.get(), "BpeTokenizer"));
  return checked(PyObject_CallMethod(tokenizer_class.get(), "from_bytes", "O", bytes.get()));
}

}  // namespace wordloom::python
