// Argument converters of wordloom_tools._native beyond the shared ones: the
// settings objects of the wordloom module, file-system paths and callables,
// and the exceptions that name a bad path or item.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "bpe_tokenizer.hpp"
#include "py_ref.hpp"

namespace wordloom::python {

// The setting held by a wordloom.PreTokenization / SpecialTokenRemovalMethod.
PreTokenization to_pre_tokenization(PyObject* object);
SpecialTokenRemovalMethod to_removal_method(PyObject* object);

// A path as os.fspath() takes it (str, bytes or os.PathLike), kept as given
// and in the file-system encoding for opening.
struct FileSystemPath {
  PyRef given;
  std::string encoded;

  // os.fspath() of the path, to name it in messages with %R.
  PyRef shown() const;
};
FileSystemPath to_file_system_path(PyObject* object);

// The content of a bytes object, valid while the object lives.
std::string_view to_bytes(PyObject* object);

// A callable, borrowed; TypeError for anything else.
PyObject* to_callable(PyObject* object);

// Raises OSError (or the subclass for `error_number`) naming `path`.
[[noreturn]] void raise_os_error(int error_number, const FileSystemPath& path);

// Raises `exception_type` with "{prefix}: {text of the pending exception}",
// the pending exception as its cause.
[[noreturn]] void raise_with_prefix(PyObject* exception_type, std::string_view prefix);

}  // namespace wordloom::python
