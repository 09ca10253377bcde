#include "arguments.hpp"

#include <cerrno>

#include "errors.hpp"
#include "py_instance.hpp"

namespace wordloom::python {
namespace {

// The wordloom classes show nothing of their setting in Python (identity
// equality, the default repr), so it is read from the instance layout that
// the wordloom module and this one both take from py_instance.hpp, once the
// object is known to be an instance of wordloom's own class.
template <typename Setting>
Setting wordloom_setting(PyObject* object, const char* class_name) {
  const PyRef wordloom = checked(PyImport_ImportModule("wordloom"));
  const PyRef type = checked(PyObject_GetAttrString(wordloom.get(), class_name));
  if (!PyType_Check(type.get()) || Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(type.get())) {
    raise_cannot_convert(object, class_name);
  }
  const Setting setting = reinterpret_cast<PyInstance<Setting>*>(object)->record;
  if (static_cast<std::uint8_t>(setting) > 1) internal_failure(std::string("an unknown ") + class_name);
  return setting;
}

}  // namespace

PreTokenization to_pre_tokenization(PyObject* object) {
  return wordloom_setting<PreTokenization>(object, "PreTokenization");
}

SpecialTokenRemovalMethod to_removal_method(PyObject* object) {
  return wordloom_setting<SpecialTokenRemovalMethod>(object, "SpecialTokenRemovalMethod");
}

FileSystemPath to_file_system_path(PyObject* object) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(object, &encoded) == 0) throw PythonError{};
  const PyRef bytes = PyRef::steal(encoded);
  return {PyRef::borrow(object), std::string(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded))};
}

PyRef FileSystemPath::shown() const { return checked(PyOS_FSPath(given.get())); }

std::string_view to_bytes(PyObject* object) {
  if (!PyBytes_Check(object)) raise_cannot_convert(object, "bytes");
  return {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

PyObject* to_callable(PyObject* object) {
  if (!PyCallable_Check(object)) raise_cannot_convert(object, "callable");
  return object;
}

void raise_os_error(int error_number, const FileSystemPath& path) {
  errno = error_number;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.given.get());
  throw PythonError{};
}

void raise_with_prefix(PyObject* exception_type, std::string_view prefix) {
  PyRef cause = PyRef::steal(PyErr_GetRaisedException());
  const PyRef text = checked(PyObject_Str(cause.get()));
  PyErr_Format(exception_type, "%s: %U", std::string(prefix).c_str(), text.get());
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyException_SetCause(raised.get(), cause.release());  // steals
  PyErr_SetRaisedException(raised.release());           // steals
  throw PythonError{};
}

}  // namespace wordloom::python
