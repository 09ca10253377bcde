// Handing a trained model over to the wordloom module, and saving it.
#pragma once

#include <Python.h>

#include "arguments.hpp"
#include "bpe_tokenizer.hpp"
#include "py_ref.hpp"

namespace wordloom::python {

// Writes the model directory; OSError naming the directory on failure.
void save_model_or_raise(const Model& model, const FileSystemPath& directory);

// A new wordloom.BpeTokenizer holding `model`, made from its compact state
// by the package's one hand-over function.
PyRef tokenizer_holding(const Model& model);

// _save_model_state(state, directory): writes the model directory of a model
// state, for that hand-over function.
PyObject* save_model_state(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace wordloom::python
