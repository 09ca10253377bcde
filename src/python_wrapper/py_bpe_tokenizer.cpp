// The BpeTokenizer class: construction from Python values, training, loading,
// encoding, decoding and single lookups, each handed to the core record.
#include <string>
#include <vector>

#include "conversions.hpp"
#include "process_output.hpp"
#include "py_instance.hpp"
#include "py_tokenizer_extensions.hpp"

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
  const std::string input_path = arguments.convert(0, to_path);
  const std::uint64_t target_vocab_size = arguments.convert(1, to_u64);
  const PreTokenization pre_tokenizer = arguments.convert(2, to_value<PreTokenization>);
  std::vector<std::string> special_tokens = arguments.convert_or(3, std::vector<std::string>{}, to_string_list);
  const SpecialTokenRemovalMethod removal_method =
      arguments.convert_optional(4, to_value<SpecialTokenRemovalMethod>).value_or(SpecialTokenRemovalMethod::Simple);
  const bool save_model = arguments.convert_or(5, false, to_bool);
  const std::optional<std::string> output_dir = arguments.convert_optional(6, to_path);
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
    const std::string files_path = bind(kFromPretrained, args, nargs, kwnames).convert(0, to_path);
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

PyRef get_vocab_size(const BpeTokenizer& tokenizer) {
  return to_python_int(static_cast<long>(tokenizer.vocab_size()));
}

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
    // Beyond the original surface:
    {"encode_batch", as_method(encode_batch_method), kFastCall,
     "encode_batch($self, texts, num_threads=None)\n--\n\n"
     "The ids of every text, as encode(text).ids would give them, in input order. The texts are encoded on "
     "num_threads native threads (default: one per CPU) while other Python threads run."},
    {"encode_ids", as_method(encode_ids_method), kFastCall,
     "encode_ids($self, text)\n--\n\nThe ids of encode(text), without building the tokens and their types."},
    {"encode_batch_arrays", as_method(encode_batch_arrays_method), kFastCall,
     "encode_batch_arrays($self, texts, num_threads=None)\n--\n\n"
     "encode_batch as two read-only memoryviews: ids (uint32, format 'I') holds the ids of all texts one after "
     "the other, and text i has ids[offsets[i]:offsets[i + 1]] (offsets: uint64, format 'Q', len(texts) + 1 "
     "entries). numpy.frombuffer and pyarrow read them without a copy."},
    {"get_vocab_size", as_method(shared_noargs_method<BpeTokenizer, get_vocab_size>), METH_NOARGS,
     "get_vocab_size($self)\n--\n\nThe number of tokens in the vocabulary: 0 before training."},
    {"save_pretrained", as_method(save_pretrained_method), kFastCall,
     "save_pretrained($self, output_dir)\n--\n\n"
     "Writes the five model files into output_dir (made with its parents if needed), as training with "
     "save_model=True does. Raises OSError when the files cannot be written."},
    {"load", as_method(load_method), kFastCall | METH_STATIC,
     "load(files_path)\n--\n\n"
     "A tokenizer loaded from a model directory. Unlike from_pretrained it raises instead of ending the "
     "process: OSError for a missing or unreadable directory or file, ValueError for a malformed file."},
    {"to_bytes", as_method(to_bytes_method), METH_NOARGS,
     "to_bytes($self)\n--\n\nThe tokenizer's settings and model as bytes, exact, for from_bytes."},
    {"from_bytes", as_method(from_bytes_method), kFastCall | METH_STATIC,
     "from_bytes(data)\n--\n\nThe tokenizer that to_bytes wrote as data; ValueError for anything else."},
    {"__reduce__", as_method(reduce_method), METH_NOARGS, "__reduce__($self)\n--\n\nPickle support."},
    {"__copy__", as_method(copy_method), METH_NOARGS,
     "__copy__($self)\n--\n\nA tokenizer with the same settings sharing the same (immutable) model."},
    {"__deepcopy__", as_method(deepcopy_method), kFastCall,
     "__deepcopy__($self, memo)\n--\n\nAs __copy__: the model never changes, so sharing it is safe."},
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
