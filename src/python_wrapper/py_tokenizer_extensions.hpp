// BpeTokenizer methods beyond encode and decode of one text: batch encoding
// (py_tokenizer_batch.cpp), and saving, loading, serialising and copying
// (py_tokenizer_persistence.cpp). py_bpe_tokenizer.cpp lists them in the
// class's method table.
#pragma once

#include <Python.h>

namespace wordloom::python {

// encode_batch(texts, num_threads=None) -> list of id lists
PyObject* encode_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// encode_batch_arrays(texts, num_threads=None) -> (ids, offsets) as memoryviews
PyObject* encode_batch_arrays_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) noexcept;
// encode_ids(text) -> list of ids
PyObject* encode_ids_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// save_pretrained(output_dir)
PyObject* save_pretrained_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept;
// static load(files_path)
PyObject* load_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// to_bytes() and static from_bytes(data)
PyObject* to_bytes_method(PyObject* self, PyObject* unused) noexcept;
PyObject* from_bytes_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
// __reduce__(), __copy__() and __deepcopy__(memo)
PyObject* reduce_method(PyObject* self, PyObject* unused) noexcept;
PyObject* copy_method(PyObject* self, PyObject* unused) noexcept;
PyObject* deepcopy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace wordloom::python
