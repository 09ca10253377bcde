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
  const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8;
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

void write_diagnostic(const char* message, const std::source_location* where) {
  if (where != nullptr) {
    std::fprintf(stderr, "wordloom: internal failure: %s\n  at %s:%u in %s\n", message, where->file_name(),
                 static_cast<unsigned>(where->line()), where->function_name());
  } else {
    std::fprintf(stderr, "wordloom: internal failure: %s\n  at an unknown place\n", message);
  }
  std::fflush(stderr);
}

void raise_panic(const char* message, const std::source_location* where) {
  write_diagnostic(message, where);
  // A failed creation of the type leaves its own error set, which is then raised.
  if (PyObject* type = panic_exception_type()) PyErr_SetString(type, message);
}

}  // namespace

void raise_error(PyObject* exception_type, const std::string& text) {
  PyErr_SetString(exception_type, text.c_str());
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
    raise_panic(failure.what(), &failure.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    raise_panic(unexpected.what(), nullptr);
  } catch (...) {
    raise_panic("unknown C++ exception", nullptr);
  }
}

}  // namespace wordloom::python
