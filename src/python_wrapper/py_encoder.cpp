// The Encoder class: the read-only result of BpeTokenizer.encode. Every
// attribute access builds a fresh Python object, so callers cannot change the
// record through what they are handed.
#include "conversions.hpp"
#include "py_instance.hpp"

namespace wordloom::python {
namespace {

// A getter that builds the attribute from the record under a shared borrow.
template <auto build>
PyObject* encoder_getter(PyObject* self, void*) noexcept {
  return guarded([self] {
    PyEncoder& encoder = instance_of<Encoder>(self);
    const SharedBorrow borrow(encoder.borrow_flag);
    return build(std::as_const(encoder.record));
  });
}

PyRef original_text(const Encoder& encoder) { return to_python_str(encoder.original_text); }

PyRef tokens(const Encoder& encoder) { return to_python_list(encoder.tokens, to_python_str); }

PyRef ids(const Encoder& encoder) {
  return to_python_list(encoder.ids, [](TokenId id) { return to_python_int(id); });
}

PyRef token_types(const Encoder& encoder) { return to_python_list(encoder.token_types, new_instance<TokenType>); }

PyGetSetDef encoder_getters[] = {
    {"original_text", encoder_getter<original_text>, nullptr, "", nullptr},
    {"tokens", encoder_getter<tokens>, nullptr, "", nullptr},
    {"ids", encoder_getter<ids>, nullptr, "", nullptr},
    {"token_types", encoder_getter<token_types>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyRef get_token_type(const Encoder& encoder, std::string_view token) {
  return new_instance(value_or_raise(encoder.get_token_type(token)));
}

constexpr Signature<1> kGetTokenType{"Encoder.get_token_type()", {"token"}, 1};

PyMethodDef encoder_methods[] = {
    {"get_token_type", as_method(shared_method<Encoder, kGetTokenType, to_utf8, get_token_type>),
     METH_FASTCALL | METH_KEYWORDS, "get_token_type($self, token)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<Encoder>)},
    {Py_tp_methods, encoder_methods},
    {Py_tp_getset, encoder_getters},
    {0, nullptr},
};

PyType_Spec encoder_spec = {
    .name = "builtins.Encoder",
    .basicsize = sizeof(PyEncoder),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = encoder_slots,
};

}  // namespace

template <>
LazyType& python_class<Encoder>() {
  static LazyType type(encoder_spec);
  return type;
}

}  // namespace wordloom::python
