// joined_lines() of wordloom_tools._native: the lines that `wordloom encode`
// writes, formatted from the arrays of BpeTokenizer.encode_batch_arrays().
#pragma once

#include <Python.h>

namespace wordloom::python {

// joined_lines(ids, offsets, fields) -> bytes; METH_FASTCALL | METH_KEYWORDS.
PyObject* joined_lines_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;

}  // namespace wordloom::python
