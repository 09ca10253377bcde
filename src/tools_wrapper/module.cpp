// The module wordloom_tools._native: the WordCounts class on the wordloom core,
// and the formatting of `wordloom encode`'s output lines.
#include "encode_output.hpp"
#include "py_word_counts.hpp"

namespace wordloom::python {
namespace {

PyMethodDef module_functions[] = {
    {"joined_lines", as_method(joined_lines_function), METH_FASTCALL | METH_KEYWORDS,
     "joined_lines(ids, offsets, fields)\n--\n\n"
     "Per text i, with ids[offsets[i]:offsets[i + 1]], and per field (prefix, table, separator, suffix): the "
     "prefix, the table's entries for those ids (their decimal digits when the table is None) joined by the "
     "separator, and the suffix; all as one bytes object."},
    {"shifted", as_method(shifted_function), METH_FASTCALL | METH_KEYWORDS,
     "shifted(numbers, amount)\n--\n\n"
     "Each number of a uint64 ('Q') buffer plus amount, as the bytes of native uint64 numbers."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "wordloom_tools._native",
    .m_doc = "Word counts for wordloom, counted and trained on the wordloom core.",
    .m_size = -1,
    .m_methods = module_functions,
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
