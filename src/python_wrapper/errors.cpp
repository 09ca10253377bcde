#include "errors.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <source_location>

namespace wordloom::python {
namespace {

// The __qualname__ of the object's type, for conversion error texts.
std::string type_name_of(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return {utf8, static_cast<std::size_t>(size)};
}

// Sets `exception_type` with the whole of `text`: a NUL inside it (one quoted
// from a token or a keyword) does not end it, as it would a C string.
void set_error(PyObject* exception_type, std::string_view text) {
  const PyRef message =
      PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(exception_type, message.get());
}

// The exception type of internal failures, made on first need. Derives from
// BaseException directly, so that `except Exception` does not swallow a bug.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("wordloom.PanicException",
                                     "An internal failure of wordloom: a state that valid data never reaches.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

void write_diagnostic(std::string_view message, const std::source_location* where) {
  std::fputs("wordloom: internal failure: ", stderr);
  std::fwrite(message.data(), 1, message.size(), stderr);
  if (where != nullptr) {
    std::fprintf(stderr, "\n  at %s:%u in %s\n", where->file_name(), static_cast<unsigned>(where->line()),
                 where->function_name());
  } else {
    std::fputs("\n  at an unknown place\n", stderr);
  }
  std::fflush(stderr);
}

void raise_panic(std::string_view message, const std::source_location* where) {
  write_diagnostic(message, where);
  // A failed creation of the type leaves its own error set, which is then raised.
  if (PyObject* type = panic_exception_type()) set_error(type, message);
}

}  // namespace

void raise_error(PyObject* exception_type, const std::string& text) {
  set_error(exception_type, text);
  throw PythonError{};
}

void raise_cannot_convert(PyObject* object, std::string_view wanted) {
  std::string text = "'";
  text += type_name_of(object);
  text += "' object cannot be converted to '";
  text += wanted;
  text += "'";
  raise_error(PyExc_TypeError, text);
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    // Already set where it was raised.
  } catch (const InternalFailure& failure) {
    raise_panic(failure.message(), &failure.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    raise_panic(unexpected.what(), nullptr);
  } catch (...) {
    raise_panic("unknown C++ exception", nullptr);
  }
}

}  // namespace wordloom::python
