// Conversions between Python objects and the core's values: argument
// converters (raising the module's conversion errors) and result builders.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "tokenizer_error.hpp"

namespace wordloom::python {

// ---- Arguments: each raises PythonError on failure ----

// A str's UTF-8 text, valid while the object lives.
std::string_view to_utf8(PyObject* object);
std::string to_string(PyObject* object);
// A str's UTF-8 text made here, leaving no UTF-8 form cached on the object
// (which would double a long text's memory for as long as it lives): an
// ASCII str is its own UTF-8, any other is converted into `storage`. Raises
// as to_utf8 does, UnicodeEncodeError for a lone surrogate included.
struct Utf8Text {
  std::unique_ptr<char[]> storage;  // none for an ASCII str
  std::string_view text;            // valid while the object and `storage` live
};
Utf8Text to_utf8_text(PyObject* object);
// A str naming a file, refused with ValueError "embedded null byte" (as
// Python's own open does) when it holds NUL, where the system would cut it.
std::string to_path(PyObject* object);
// operator.index() of the object, within 0 to 2**32 - 1.
std::uint32_t to_u32(PyObject* object);
// operator.index() of the object, within 0 to 2**64 - 1.
std::uint64_t to_u64(PyObject* object);
// Exactly True or False.
bool to_bool(PyObject* object);
// A non-str sequence of str / of unsigned 32-bit integers.
std::vector<std::string> to_string_list(PyObject* object);
std::vector<TokenId> to_id_list(PyObject* object);
// The UTF-8 texts of any iterable of str other than a str itself, taken one
// by one without trusting a length it reports, readable without the
// interpreter lock: each view points into an immutable object that `owners`
// keeps alive, an ASCII str itself or a bytes copy of any other str (made
// here, so that no UTF-8 form stays cached on the caller's strings).
struct TextViews {
  std::vector<PyRef> owners;
  std::vector<std::string_view> texts;
};
TextViews to_text_views(PyObject* object);
// A file-system path of the newer methods: str, bytes or os.PathLike, as the
// OS takes it (NUL refused as by to_path).
std::string to_fs_path(PyObject* object);

// ---- Results: each returns a new reference or raises PythonError ----

PyRef to_python_str(std::string_view text);
PyRef to_python_int(long value);
// The path as the file-system encoding decodes it.
PyRef to_python_path(std::string_view path);

// A new list holding `build(item)` for every item, in order.
template <typename Items, typename Build>
PyRef to_python_list(const Items& items, Build&& build) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), build(items[i]).release());  // steals
  }
  return list;
}

}  // namespace wordloom::python
