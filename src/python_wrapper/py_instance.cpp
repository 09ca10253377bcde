#include "py_instance.hpp"

#include <cstring>
#include <string>

namespace wordloom::python {

PyTypeObject* LazyType::get() {
  if (type_ == nullptr) {
    PyRef type = checked(PyType_FromSpec(&spec_));
    if (finish_ != nullptr) finish_(reinterpret_cast<PyTypeObject*>(type.get()));
    type_ = reinterpret_cast<PyTypeObject*>(type.release());
  }
  return type_;
}

PyTypeObject* LazyType::require() {
  try {
    return get();
  } catch (const PythonError&) {
    PyErr_Clear();
    internal_failure("failed to create type object for " + std::string(name()));
  }
}

const char* LazyType::name() const {
  const char* last_dot = std::strrchr(spec_.name, '.');
  return last_dot != nullptr ? last_dot + 1 : spec_.name;
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

}  // namespace wordloom::python
