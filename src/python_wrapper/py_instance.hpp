// The common shape of the module's classes: an instance is a Python object
// header, a borrow counter and one core record; a class is a heap type made
// from its spec on first need and kept for the life of the process.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "binder.hpp"
#include "borrow.hpp"
#include "bpe_tokenizer.hpp"
#include "errors.hpp"

namespace wordloom::python {

template <typename Record>
struct PyInstance {
  PyObject_HEAD
  BorrowFlag borrow_flag;
  Record record;
};

using PyBpeTokenizer = PyInstance<BpeTokenizer>;
using PyPreTokenization = PyInstance<PreTokenization>;
using PySpecialTokenRemovalMethod = PyInstance<SpecialTokenRemovalMethod>;
using PyEncoder = PyInstance<Encoder>;
using PyTokenType = PyInstance<TokenType>;

// A class's type object, made from its spec on first need.
class LazyType {
 public:
  // Completes a freshly made type (class attributes); raises PythonError.
  using Finish = void (*)(PyTypeObject* type);

  explicit LazyType(PyType_Spec& spec, Finish finish = nullptr) : spec_(spec), finish_(finish) {}

  // The type object; raises PythonError when it cannot be made.
  PyTypeObject* get();
  // The type object; an internal failure when it cannot be made, for calls
  // that need it after the module exists.
  PyTypeObject* require();
  // The bare class name, as Python shows it.
  const char* name() const;

 private:
  PyType_Spec& spec_;
  Finish finish_;
  PyTypeObject* type_ = nullptr;  // kept for the life of the process
};

// The Python class that wraps each record type; one definition per class file.
template <typename Record>
LazyType& python_class();
template <>
LazyType& python_class<BpeTokenizer>();
template <>
LazyType& python_class<PreTokenization>();
template <>
LazyType& python_class<SpecialTokenRemovalMethod>();
template <>
LazyType& python_class<Encoder>();
template <>
LazyType& python_class<TokenType>();

// A new instance of `type` holding `record`, or NULL with a Python error set.
template <typename Record>
PyObject* allocate_instance(PyTypeObject* type, Record record) noexcept {
  const allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* object = allocate(type, 0);
  if (object == nullptr) return nullptr;
  auto* instance = reinterpret_cast<PyInstance<Record>*>(object);
  new (&instance->borrow_flag) BorrowFlag();
  new (&instance->record) Record(std::move(record));
  return object;
}

// A new instance of the record's class.
template <typename Record>
PyRef new_instance(Record record) {
  return checked(allocate_instance(python_class<Record>().require(), std::move(record)));
}

template <typename Record>
void dealloc_instance(PyObject* self) noexcept {
  // An instance of a heap type holds a reference to its type.
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<PyInstance<Record>*>(self)->record);
  type->tp_free(self);
  Py_DECREF(type);
}

// The object as an instance of the record's class (subclasses included), else
// TypeError "'{type}' object cannot be converted to '{class}'".
template <typename Record>
PyInstance<Record>& instance_of(PyObject* object) {
  LazyType& python_type = python_class<Record>();
  if (!PyObject_TypeCheck(object, python_type.require())) raise_cannot_convert(object, python_type.name());
  return *reinterpret_cast<PyInstance<Record>*>(object);
}

// Argument converter for a class parameter: a copy of the value it holds.
template <typename Record>
Record to_value(PyObject* object) {
  PyInstance<Record>& instance = instance_of<Record>(object);
  const SharedBorrow borrow(instance.borrow_flag);
  return instance.record;
}

// A method taking one argument that reads its receiver: bind, borrow shared,
// convert the argument, then `work(record, argument)` builds the result.
template <typename Record, const auto& signature, auto convert, auto work>
PyObject* shared_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(signature, args, nargs, kwnames);
    PyInstance<Record>& receiver = instance_of<Record>(self);
    const SharedBorrow borrow(receiver.borrow_flag);
    return work(std::as_const(receiver.record), arguments.convert(0, convert));
  });
}

// A method without arguments that reads its receiver: borrow shared, then
// `work(record)` builds the result.
template <typename Record, auto work>
PyObject* shared_noargs_method(PyObject* self, PyObject*) noexcept {
  return guarded([self] {
    PyInstance<Record>& receiver = instance_of<Record>(self);
    const SharedBorrow borrow(receiver.borrow_flag);
    return work(std::as_const(receiver.record));
  });
}

// The tp_new of classes whose instances only the module makes.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// Function pointers as the untyped entries of method tables and type slots.
template <typename Function>
PyCFunction as_method(Function* function) {
  // Through void(*)(void), the cast that -Wcast-function-type accepts.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
template <typename Function>
void* as_slot(Function* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace wordloom::python
