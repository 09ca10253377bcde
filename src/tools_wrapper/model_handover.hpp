// Handing a trained model over to the wordloom module, and saving it.
#pragma once

#include <Python.h>

#include <memory>

#include "arguments.hpp"
#include "bpe_tokenizer.hpp"
#include "py_ref.hpp"

namespace wordloom::python {

// Writes the model directory; OSError naming the directory on failure.
void save_model_or_raise(const Model& model, const FileSystemPath& directory);

// A new wordloom.BpeTokenizer holding `model`, handed over in the byte form
// that BpeTokenizer.from_bytes() reads.
PyRef tokenizer_holding(std::shared_ptr<const Model> model);

}  // namespace wordloom::python
