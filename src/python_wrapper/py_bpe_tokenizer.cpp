// The BpeTokenizer class: construction from Python values, training, loading,
// encoding, decoding and single lookups, each handed to the core record.
#include <string>
#include <vector>

#include "conversions.hpp"
#include "process_output.hpp"
#include "py_instance.hpp"

namespace wordloom::python {
namespace {

// ---- Construction ----

constexpr Signature<7> kConstructor{
    "BpeTokenizer.__new__()",
    {"input_path", "target_vocab_size", "pretokenization_type", "special_tokens", "special_token_removal_method",
     "save_model", "output_dir"},
    3};

// Arguments are converted strictly in parameter order: the first failure is
// the one reported.
BpeTokenizer record_from_arguments(const BoundArguments<7>& arguments) {
  const std::string_view input_path = arguments.convert(0, to_utf8);
  const std::uint64_t target_vocab_size = arguments.convert(1, to_u64);
  const PreTokenization pre_tokenizer = arguments.convert(2, to_value<PreTokenization>);
  std::vector<std::string> special_tokens = arguments.convert_or(3, std::vector<std::string>{}, to_string_list);
  const SpecialTokenRemovalMethod removal_method =
      arguments.convert_optional(4, to_value<SpecialTokenRemovalMethod>).value_or(SpecialTokenRemovalMethod::Simple);
  const bool save_model = arguments.convert_or(5, false, to_bool);
  const std::optional<std::string_view> output_dir = arguments.convert_optional(6, to_utf8);
  return BpeTokenizer::create(input_path, target_vocab_size, pre_tokenizer, std::move(special_tokens),
                              removal_method, save_model, output_dir);
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    BpeTokenizer record = record_from_arguments(bind(kConstructor, args, kwargs));
    return checked(allocate_instance(type, std::move(record)));
  });
}

// ---- Methods ----

constexpr Signature<1> kFromPretrained{"BpeTokenizer.from_pretrained()", {"files_path"}, 1};

// A loading failure ends the process.
PyObject* from_pretrained(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const std::string_view files_path = bind(kFromPretrained, args, nargs, kwnames).convert(0, to_utf8);
    Result<BpeTokenizer> loaded = BpeTokenizer::new_from_pretrained(files_path);
    if (!loaded) exit_with_error_line("Error: " + loaded.error().display());
    BpeTokenizer record = std::move(loaded).value();
    PyObject* instance = allocate_instance(python_class<BpeTokenizer>().require(), std::move(record));
    if (instance == nullptr) {
      PyErr_Clear();
      internal_failure("failed to allocate a BpeTokenizer object for a loaded model");
    }
    return PyRef::steal(instance);
  });
}

// Only the refusal of a trained record is raised; a corpus that cannot be read
// and a failed save end the process.
void raise_or_exit(const TokenizerError& error) {
  switch (error.kind()) {
    case TokenizerError::Kind::InvalidState:
      raise_error(PyExc_RuntimeError, error.display());
    case TokenizerError::Kind::UnreadableCorpus:
      exit_with_error_line("Error reading file: " + error.display());
    default:
      exit_with_error_line("Error: " + error.display());
  }
}

// The only method that changes the record, so it borrows exclusively.
PyObject* train(PyObject* self, PyObject*) noexcept {
  return guarded([self] {
    PyBpeTokenizer& tokenizer = instance_of<BpeTokenizer>(self);
    const ExclusiveBorrow borrow(tokenizer.borrow_flag);
    TrainingLinesToStdout timing_lines;
    TrainingOptions options;
    options.check_interrupt = check_signals;
    options.observer = &timing_lines;
    if (Result<void> trained = tokenizer.record.train(options); !trained) raise_or_exit(trained.error());
    return PyRef::borrow(Py_None);
  });
}

PyRef encode(const BpeTokenizer& tokenizer, std::string_view text) {
  return new_instance(value_or_raise(tokenizer.encode(text, check_signals)));
}

PyRef decode(const BpeTokenizer& tokenizer, const std::vector<TokenId>& ids) {
  return to_python_str(value_or_raise(tokenizer.decode(ids)));
}

PyRef get_id_by_token(const BpeTokenizer& tokenizer, std::string_view token) {
  return to_python_int(value_or_raise(tokenizer.get_id_by_token(token)));
}

PyRef get_token_by_id(const BpeTokenizer& tokenizer, TokenId id) {
  return to_python_str(value_or_raise(tokenizer.get_token_by_id(id)));
}

constexpr Signature<1> kEncode{"BpeTokenizer.encode()", {"text"}, 1};
constexpr Signature<1> kDecode{"BpeTokenizer.decode()", {"ids"}, 1};
constexpr Signature<1> kGetIdByToken{"BpeTokenizer.get_id_by_token()", {"token"}, 1};
constexpr Signature<1> kGetTokenById{"BpeTokenizer.get_token_by_id()", {"id"}, 1};

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef tokenizer_methods[] = {
    {"from_pretrained", as_method(from_pretrained), kFastCall | METH_STATIC, "from_pretrained(files_path)\n--\n\n"},
    {"train", as_method(train), METH_NOARGS, "train($self)\n--\n\n"},
    {"encode", as_method(shared_method<BpeTokenizer, kEncode, to_utf8, encode>), kFastCall,
     "encode($self, text)\n--\n\n"},
    {"decode", as_method(shared_method<BpeTokenizer, kDecode, to_id_list, decode>), kFastCall,
     "decode($self, ids)\n--\n\n"},
    {"get_id_by_token", as_method(shared_method<BpeTokenizer, kGetIdByToken, to_utf8, get_id_by_token>), kFastCall,
     "get_id_by_token($self, token)\n--\n\n"},
    {"get_token_by_id", as_method(shared_method<BpeTokenizer, kGetTokenById, to_u32, get_token_by_id>), kFastCall,
     "get_token_by_id($self, id)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Slots ----

// The learned vocabulary size, not the target.
PyObject* repr(PyObject* self) noexcept {
  return guarded([self] {
    PyBpeTokenizer& tokenizer = instance_of<BpeTokenizer>(self);
    const SharedBorrow borrow(tokenizer.borrow_flag);
    return to_python_str("BpeTokenizer(vocab_size=" + std::to_string(tokenizer.record.vocab_size()) + ")");
  });
}

PyType_Slot tokenizer_slots[] = {
    {Py_tp_doc, const_cast<char*>("BpeTokenizer(input_path, target_vocab_size, pretokenization_type, "
                                  "special_tokens=..., special_token_removal_method=None, save_model=False, "
                                  "output_dir=None)\n--\n\n")},
    {Py_tp_new, as_slot(construct)},
    {Py_tp_dealloc, as_slot(dealloc_instance<BpeTokenizer>)},
    {Py_tp_repr, as_slot(repr)},
    {Py_tp_methods, tokenizer_methods},
    {0, nullptr},
};

PyType_Spec tokenizer_spec = {
    .name = "builtins.BpeTokenizer",
    .basicsize = sizeof(PyBpeTokenizer),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = tokenizer_slots,
};

}  // namespace

template <>
LazyType& python_class<BpeTokenizer>() {
  static LazyType type(tokenizer_spec);
  return type;
}

}  // namespace wordloom::python
