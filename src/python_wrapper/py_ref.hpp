// An owning reference to a Python object. A raw PyObject* anywhere else in the
// wrapper is borrowed; every owning construction is spelled steal or borrow.
#pragma once

#include <Python.h>

#include <utility>

namespace wordloom::python {

class PyRef {
 public:
  PyRef() = default;
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (the result of a call that returns one).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  // Takes the new reference before dropping the old one, so that the old
  // object's destructor (which may run arbitrary code) never sees a half
  // updated reference, and self-assignment keeps the object alive.
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, other.release());
    Py_XDECREF(old);
    return *this;
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller, leaving this empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace wordloom::python
