// How failures travel through the wrapper and leave it. Inside, a Python
// error travels as the C++ exception PythonError (the error indicator is
// already set); every entry point runs its body through `guarded`, the one
// place where C++ exceptions become Python exceptions.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "py_ref.hpp"
#include "tokenizer_error.hpp"

namespace wordloom::python {

// Thrown once a Python exception has been set; carries nothing itself.
struct PythonError {};

// Sets `exception_type` with `text` and throws PythonError.
[[noreturn]] void raise_error(PyObject* exception_type, const std::string& text);

// TypeError "'{type}' object cannot be converted to '{wanted}'".
[[noreturn]] void raise_cannot_convert(PyObject* object, std::string_view wanted);

// Takes ownership of a new reference, throwing PythonError when the call that
// should have made it failed (returned NULL).
inline PyRef checked(PyObject* new_reference) {
  if (new_reference == nullptr) throw PythonError{};
  return PyRef::steal(new_reference);
}

// The value of a core result (nothing for Result<void>); a TokenizerError
// becomes RuntimeError whose one argument is the display text.
template <typename T>
T value_or_raise(Result<T> result) {
  if (!result) raise_error(PyExc_RuntimeError, result.error().display());
  return std::move(result).value();
}

// Runs the Python signal handlers (Ctrl-C raises KeyboardInterrupt there) and
// throws PythonError when one raised. Given to the core as its interrupt
// check, so long calls stop at a safe point with the record unchanged.
inline void check_signals() {
  if (PyErr_CheckSignals() != 0) throw PythonError{};
}

// Turns the exception in flight into the pending Python exception:
// PythonError is already set, InternalFailure (and any other C++ exception)
// becomes PanicException, std::bad_alloc becomes MemoryError.
void translate_current_exception() noexcept;

// Runs an entry point's body; returns its new reference, or NULL with a Python
// exception set. No C++ exception gets past this into the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)().release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

}  // namespace wordloom::python
