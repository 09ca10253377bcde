// The module wordloom_tools._native: the WordCounts class on the wordloom core.
#include "py_word_counts.hpp"

namespace wordloom::python {
namespace {

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "wordloom_tools._native",
    .m_doc = "Word counts for wordloom, counted and trained on the wordloom core.",
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace wordloom::python

PyMODINIT_FUNC PyInit__native() {
  using namespace wordloom::python;
  return guarded([] {
    // The settings classes come from wordloom, which also refuses sub-interpreters.
    checked(PyImport_ImportModule("wordloom"));
    PyRef module = checked(PyModule_Create(&module_definition));
    LazyType& word_counts = python_class<wordloom::CountedCorpus>();
    if (PyModule_AddObjectRef(module.get(), word_counts.name(), reinterpret_cast<PyObject*>(word_counts.get())) < 0) {
      throw PythonError{};
    }
    return module;
  });
}
