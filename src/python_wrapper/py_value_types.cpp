// The small value classes: PreTokenization and SpecialTokenRemovalMethod,
// which only carry a setting into the BpeTokenizer constructor, and the
// TokenType enumeration that encoding results are labelled with.
#include <array>
#include <optional>
#include <string>

#include "conversions.hpp"
#include "py_instance.hpp"

namespace wordloom::python {
namespace {

// A static method returning a new instance holding `kValue`.
template <auto kValue>
PyObject* make_value(PyObject*, PyObject*) noexcept {
  return guarded([] { return new_instance(kValue); });
}

// ---- PreTokenization ----

PyMethodDef pre_tokenization_methods[] = {
    {"whitespace", as_method(make_value<PreTokenization::Whitespace>), METH_NOARGS | METH_STATIC,
     "whitespace()\n--\n\n"},
    {"punctuation", as_method(make_value<PreTokenization::Punctuation>), METH_NOARGS | METH_STATIC,
     "punctuation()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot pre_tokenization_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<PreTokenization>)},
    {Py_tp_methods, pre_tokenization_methods},
    {0, nullptr},
};

PyType_Spec pre_tokenization_spec = {
    .name = "builtins.PreTokenization",
    .basicsize = sizeof(PyPreTokenization),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = pre_tokenization_slots,
};

// ---- SpecialTokenRemovalMethod ----

PyMethodDef removal_method_methods[] = {
    {"simple", as_method(make_value<SpecialTokenRemovalMethod::Simple>), METH_NOARGS | METH_STATIC,
     "simple()\n--\n\n"},
    {"aho_corasick", as_method(make_value<SpecialTokenRemovalMethod::AhoCorasick>), METH_NOARGS | METH_STATIC,
     "aho_corasick()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot removal_method_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<SpecialTokenRemovalMethod>)},
    {Py_tp_methods, removal_method_methods},
    {0, nullptr},
};

PyType_Spec removal_method_spec = {
    .name = "builtins.SpecialTokenRemovalMethod",
    .basicsize = sizeof(PySpecialTokenRemovalMethod),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = removal_method_slots,
};

// ---- TokenType ----

// Indexed by the variant number.
constexpr std::array<const char*, 3> kTokenTypeNames = {"WORD", "SUBWORD", "SPECIALTOKEN"};

long number_of(TokenType type) { return static_cast<long>(type); }

PyObject* token_type_repr(PyObject* self) noexcept {
  return guarded([self] {
    return to_python_str(std::string("TokenType.") + kTokenTypeNames[number_of(to_value<TokenType>(self))]);
  });
}

PyObject* token_type_int(PyObject* self) noexcept {
  return guarded([self] { return to_python_int(number_of(to_value<TokenType>(self))); });
}

// The variant number of a TokenType object that can be read, else nothing.
std::optional<long long> token_type_number(PyObject* object) {
  if (!PyObject_TypeCheck(object, python_class<TokenType>().require())) return std::nullopt;
  const PyTokenType& instance = *reinterpret_cast<PyTokenType*>(object);
  if (!instance.borrow_flag.can_share()) return std::nullopt;
  return number_of(instance.record);
}

// What a TokenType compares equal to: operator.index() of the object when it
// fits 64 bits, else the number of another TokenType.
std::optional<long long> comparable_number(PyObject* object) {
  if (const PyRef index = PyRef::steal(PyNumber_Index(object))) {
    const long long value = PyLong_AsLongLong(index.get());
    if (value != -1 || !PyErr_Occurred()) return value;
  }
  PyErr_Clear();
  return token_type_number(object);
}

// Equality with integers and TokenTypes only; no ordering, so sorting fails.
PyObject* token_type_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guarded([&] {
    const std::optional<long long> own = token_type_number(self);
    if (!own || (op != Py_EQ && op != Py_NE)) return PyRef::borrow(Py_NotImplemented);
    const std::optional<long long> theirs = comparable_number(other);
    if (!theirs) return PyRef::borrow(Py_NotImplemented);
    return PyRef::borrow((*own == *theirs) == (op == Py_EQ) ? Py_True : Py_False);
  });
}

// The class attributes WORD, SUBWORD and SPECIALTOKEN, one instance each.
void add_token_type_variants(PyTypeObject* type) {
  for (std::size_t number = 0; number < kTokenTypeNames.size(); ++number) {
    const PyRef variant = checked(allocate_instance(type, static_cast<TokenType>(number)));
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), kTokenTypeNames[number], variant.get()) < 0) {
      throw PythonError{};
    }
  }
}

// Comparison without a hash slot leaves __hash__ None: instances are unhashable.
PyType_Slot token_type_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<TokenType>)},
    {Py_tp_repr, as_slot(token_type_repr)},
    {Py_nb_int, as_slot(token_type_int)},
    {Py_tp_richcompare, as_slot(token_type_richcompare)},
    {0, nullptr},
};

PyType_Spec token_type_spec = {
    .name = "builtins.TokenType",
    .basicsize = sizeof(PyTokenType),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = token_type_slots,
};

}  // namespace

template <>
LazyType& python_class<PreTokenization>() {
  static LazyType type(pre_tokenization_spec);
  return type;
}

template <>
LazyType& python_class<SpecialTokenRemovalMethod>() {
  static LazyType type(removal_method_spec);
  return type;
}

template <>
LazyType& python_class<TokenType>() {
  static LazyType type(token_type_spec, add_token_type_variants);
  return type;
}

}  // namespace wordloom::python
