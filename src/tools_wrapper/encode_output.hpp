// Functions of wordloom_tools._native for what `wordloom encode` writes from
// the arrays of BpeTokenizer.encode_batch_arrays(): lines of text, and the
// offsets of a block counted from the start of the whole output.
#pragma once

#include <Python.h>

namespace wordloom::python {

// joined_lines(ids, offsets, fields) -> bytes; METH_FASTCALL | METH_KEYWORDS.
PyObject* joined_lines_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

// shifted(numbers, amount) -> bytes; METH_FASTCALL | METH_KEYWORDS.
PyObject* shifted_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace wordloom::python
