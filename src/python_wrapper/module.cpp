// The module entry: `import wordloom` makes the module once per process and
// hands the same object out again on every later import.
#include <cstdint>
#include <optional>

#include "py_instance.hpp"

namespace wordloom::python {
namespace {

// m_size 0 (not -1) makes CPython call PyInit_wordloom on every import, so a
// re-import after removal from sys.modules gets the cached module itself.
PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "wordloom",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* cached_module = nullptr;  // kept for the life of the process
std::optional<std::int64_t> owning_interpreter;

// Type objects and the cached module belong to one interpreter.
void check_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) throw PythonError{};
  if (!owning_interpreter) owning_interpreter = current;
  if (*owning_interpreter != current) {
    raise_error(PyExc_ImportError, "wordloom does not support sub-interpreters; import it in the main interpreter");
  }
}

// Appends the class name to __all__ (made on the first addition), then sets
// the module attribute.
void add_class(PyObject* module, LazyType& python_type) {
  PyObject* type = reinterpret_cast<PyObject*>(python_type.get());
  PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
  if (all == nullptr) {
    const PyRef new_all = checked(PyList_New(0));
    if (PyModule_AddObjectRef(module, "__all__", new_all.get()) < 0) throw PythonError{};
    all = new_all.get();
  }
  const PyRef name = checked(PyUnicode_FromString(python_type.name()));
  if (PyList_Append(all, name.get()) < 0 || PyModule_AddObjectRef(module, python_type.name(), type) < 0) {
    throw PythonError{};
  }
}

PyRef create_module() {
  PyRef module = checked(PyModule_Create(&module_definition));
  for (LazyType* python_type : {&python_class<BpeTokenizer>(), &python_class<PreTokenization>(),
                                &python_class<SpecialTokenRemovalMethod>(), &python_class<Encoder>(),
                                &python_class<TokenType>()}) {
    add_class(module.get(), *python_type);
  }
  if (PyModule_AddStringConstant(module.get(), "__version__", WORDLOOM_VERSION) < 0) throw PythonError{};
  return module;
}

}  // namespace
}  // namespace wordloom::python

PyMODINIT_FUNC PyInit_wordloom() {
  using namespace wordloom::python;
  return guarded([] {
    check_interpreter();
    if (cached_module == nullptr) cached_module = create_module().release();
    return PyRef::borrow(cached_module);
  });
}
