// WordCounts: the word counts of a corpus with the settings that made them.
// Counted from files or texts in bounded memory, added in text order,
// pickled compactly, and trained into a wordloom.BpeTokenizer. Instances
// never change, so methods read them without borrowing.
#include "py_word_counts.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <numeric>

#include "arguments.hpp"
#include "conversions.hpp"
#include "model_handover.hpp"
#include "progress.hpp"

namespace wordloom::python {
namespace {

const CountedCorpus& corpus_of(PyObject* object) { return instance_of<CountedCorpus>(object).record; }

bool is_word_counts(PyObject* object) { return PyObject_TypeCheck(object, python_class<CountedCorpus>().require()); }

TrainingOptions interruptible(TrainingObserver* observer) {
  TrainingOptions options;
  options.check_interrupt = check_signals;
  options.observer = observer;
  return options;
}

// ---- Settings ----

// The settings given as in the BpeTokenizer constructor, from the arguments
// at `first` (pretokenization_type) and the two after it.
template <std::size_t N>
CorpusSettings settings_from(const BoundArguments<N>& arguments, std::size_t first) {
  CorpusSettings settings;
  settings.pre_tokenizer = arguments.convert(first, to_pre_tokenization);
  settings.special_tokens = arguments.convert_or(first + 1, std::vector<std::string>{}, to_string_list);
  settings.special_token_removal_method =
      arguments.convert_optional(first + 2, to_removal_method).value_or(SpecialTokenRemovalMethod::Simple);
  return settings;
}

PyRef settings_text(const CorpusSettings& settings) {
  const PyRef tokens = to_python_list(settings.special_tokens, to_python_str);
  return checked(PyUnicode_FromFormat(
      "%s pre-tokenization, special tokens %R removed by the %s method",
      settings.pre_tokenizer == PreTokenization::Whitespace ? "Whitespace" : "Punctuation", tokens.get(),
      settings.special_token_removal_method == SpecialTokenRemovalMethod::Simple ? "Simple" : "AhoCorasick"));
}

// ---- Counting files ----

// A single path stands for a list of one.
std::vector<FileSystemPath> to_paths(PyObject* object) {
  std::vector<FileSystemPath> paths;
  if (PyUnicode_Check(object) || PyBytes_Check(object) || PyObject_HasAttrString(object, "__fspath__")) {
    paths.push_back(to_file_system_path(object));
    return paths;
  }
  const PyRef iterator = checked(PyObject_GetIter(object));
  while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) paths.push_back(to_file_system_path(item.get()));
  if (PyErr_Occurred()) throw PythonError{};
  return paths;
}

// The sizes added up, for the progress total; OSError for a path that is not there.
std::uint64_t total_size(const std::vector<FileSystemPath>& paths) {
  std::uint64_t total = 0;
  for (const FileSystemPath& path : paths) {
    struct stat status {};
    if (::stat(path.encoded.c_str(), &status) != 0) raise_os_error(errno, path);
    total += static_cast<std::uint64_t>(status.st_size);
  }
  return total;
}

[[noreturn]] void raise_read_error(const CorpusReadError& error, const FileSystemPath& path) {
  if (error.kind == CorpusReadError::Kind::System) raise_os_error(error.error_number, path);
  PyErr_Format(PyExc_ValueError, "%R is not valid UTF-8: no character can start at byte offset %llu",
               path.shown().get(), static_cast<unsigned long long>(error.byte_offset));
  throw PythonError{};
}

constexpr Signature<5> kFromFiles{
    "WordCounts.from_files()",
    {"paths", "pretokenization_type", "special_tokens", "special_token_removal_method", "progress"},
    2};

PyObject* from_files(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(kFromFiles, args, nargs, kwnames);
    const std::vector<FileSystemPath> paths = arguments.convert(0, to_paths);
    CorpusSettings settings = settings_from(arguments, 1);
    PyObject* progress = arguments.convert_optional(4, to_callable).value_or(nullptr);
    ProgressReporter reporter(progress, "read", total_size(paths));
    const TrainingOptions options = interruptible(&reporter);
    CorpusCounter counter(settings, options);
    for (const FileSystemPath& path : paths) {
      if (expected<void, CorpusReadError> read = counter.count_file(path.encoded); !read) {
        raise_read_error(read.error(), path);
      }
    }
    reporter.finish();
    return new_instance(CountedCorpus{std::move(settings), counter.finish()});
  });
}

// ---- Counting texts ----

PyRef to_iterator(PyObject* object) { return checked(PyObject_GetIter(object)); }

// The UTF-8 text of item `index`, kept alive by `holder`. ASCII is read in
// place; other text through a temporary copy, so that the str is left
// without a cached copy of its own.
std::string_view text_of_item(PyObject* item, std::size_t index, PyRef& holder) {
  if (!PyUnicode_Check(item)) {
    PyErr_Format(PyExc_TypeError, "item %zu of texts is %s, not str", index, Py_TYPE(item)->tp_name);
    throw PythonError{};
  }
  if (PyUnicode_IS_ASCII(item)) {
    return {static_cast<const char*>(PyUnicode_DATA(item)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
  }
  holder = PyRef::steal(PyUnicode_AsUTF8String(item));
  if (!holder) raise_with_prefix(PyExc_ValueError, "item " + std::to_string(index) + " of texts");
  return to_bytes(holder.get());
}

constexpr Signature<4> kFromTexts{
    "WordCounts.from_texts()", {"texts", "pretokenization_type", "special_tokens", "special_token_removal_method"}, 2};

PyObject* from_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(kFromTexts, args, nargs, kwnames);
    const PyRef iterator = arguments.convert(0, to_iterator);
    CorpusSettings settings = settings_from(arguments, 1);
    const TrainingOptions options = interruptible(nullptr);
    CorpusCounter counter(settings, options);
    std::size_t index = 0;
    while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      PyRef holder;
      counter.count_text(text_of_item(item.get(), index++, holder));
      check_signals();
    }
    if (PyErr_Occurred()) throw PythonError{};
    return new_instance(CountedCorpus{std::move(settings), counter.finish()});
  });
}

// ---- Training ----

constexpr Signature<4> kTrain{
    "WordCounts.train()", {"target_vocab_size", "save_model", "output_dir", "progress"}, 1};

PyObject* train(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(kTrain, args, nargs, kwnames);
    const CountedCorpus& corpus = corpus_of(self);
    const std::uint64_t target_vocab_size = arguments.convert(0, to_u64);
    const bool save_model = arguments.convert_or(1, false, to_bool);
    const std::optional<FileSystemPath> output_dir = arguments.convert_optional(2, to_file_system_path);
    PyObject* progress = arguments.convert_optional(3, to_callable).value_or(nullptr);
    if (save_model && !output_dir) raise_error(PyExc_ValueError, "save_model is true but no output_dir was given");

    ProgressReporter reporter(progress, "merge");
    const TrainingOptions options = interruptible(&reporter);
    const Config config{target_vocab_size, corpus.settings.pre_tokenizer, corpus.settings.special_tokens,
                        corpus.settings.special_token_removal_method};
    const std::shared_ptr<const Model> model = train_model_from_counts(corpus.counts, config, options);
    reporter.finish();
    if (save_model) save_model_or_raise(*model, *output_dir);
    return tokenizer_holding(model);
  });
}

// ---- Looking at the counts ----

constexpr Signature<1> kMostCommon{"WordCounts.most_common()", {"n"}, 0};

// The n most frequent words (all when n is None) with their counts, most
// frequent first; equal counts in order of first appearance.
PyObject* most_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    const auto arguments = bind(kMostCommon, args, nargs, kwnames);
    const WordCounts& counts = corpus_of(self).counts;
    const std::size_t n = std::min<std::uint64_t>(arguments.convert_optional(0, to_u64).value_or(counts.size()),
                                                  counts.size());
    std::vector<std::size_t> order(counts.size());
    std::iota(order.begin(), order.end(), 0);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(n), order.end(),
                      [&](std::size_t a, std::size_t b) {
                        return counts.count(a) != counts.count(b) ? counts.count(a) > counts.count(b) : a < b;
                      });
    order.resize(n);
    return to_python_list(order, [&](std::size_t i) {
      const PyRef word = to_python_str(counts.word(i));
      const PyRef count = checked(PyLong_FromUnsignedLongLong(counts.count(i)));
      return checked(PyTuple_Pack(2, word.get(), count.get()));
    });
  });
}

// ---- Pickling ----

PyObject* reduce(PyObject* self, PyObject*) noexcept {
  return guarded([self] {
    const std::string state = encode_word_counts_state(corpus_of(self));
    const PyRef from_state = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
    const PyRef bytes = checked(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
    const PyRef arguments = checked(PyTuple_Pack(1, bytes.get()));
    return checked(PyTuple_Pack(2, from_state.get(), arguments.get()));
  });
}

// A class method, so that pickle finds it through the class.
PyObject* from_state(PyObject*, PyObject* state) noexcept {
  return guarded([state] {
    expected<CountedCorpus, std::string> corpus = decode_word_counts_state(to_bytes(state));
    if (!corpus) raise_error(PyExc_ValueError, corpus.error());
    return new_instance(std::move(corpus).value());
  });
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef word_counts_methods[] = {
    {"from_files", as_method(from_files), kFastCall | METH_STATIC,
     "from_files(paths, pretokenization_type, special_tokens=[], special_token_removal_method=None, "
     "progress=None)\n--\n\n"
     "Counts the words of each file, one after another; the end of a file ends a word."},
    {"from_texts", as_method(from_texts), kFastCall | METH_STATIC,
     "from_texts(texts, pretokenization_type, special_tokens=[], special_token_removal_method=None)\n--\n\n"
     "Counts the words of each str of an iterable, one after another; the end of a text ends a word."},
    {"train", as_method(train), kFastCall,
     "train($self, target_vocab_size, save_model=False, output_dir=None, progress=None)\n--\n\n"
     "A wordloom.BpeTokenizer trained on the counted words."},
    {"most_common", as_method(most_common), kFastCall,
     "most_common($self, n=None)\n--\n\n"
     "The n most frequent words with their counts, most frequent first."},
    {"__reduce__", as_method(reduce), METH_NOARGS, nullptr},
    {"_from_state", as_method(from_state), METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- Slots ----

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "WordCounts are made by WordCounts.from_files() or WordCounts.from_texts()");
  return nullptr;
}

Py_ssize_t length(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(reinterpret_cast<PyWordCounts*>(self)->record.counts.size());
}

// The counts of the left text followed by the right one.
PyObject* add(PyObject* left, PyObject* right) noexcept {
  return guarded([&] {
    if (!is_word_counts(left) || !is_word_counts(right)) return PyRef::borrow(Py_NotImplemented);
    const CountedCorpus& first = corpus_of(left);
    const CountedCorpus& second = corpus_of(right);
    if (!(first.settings == second.settings)) {
      const PyRef first_text = settings_text(first.settings);
      const PyRef second_text = settings_text(second.settings);
      PyErr_Format(PyExc_ValueError, "cannot add word counts made with different settings: %U, and %U",
                   first_text.get(), second_text.get());
      throw PythonError{};
    }
    CountedCorpus sum{first.settings, WordCounts()};
    sum.counts.add_all(first.counts);
    sum.counts.add_all(second.counts);
    return new_instance(std::move(sum));
  });
}

// Equal: the same settings and the same words with the same counts in the same order.
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return guarded([&] {
    if ((op != Py_EQ && op != Py_NE) || !is_word_counts(other)) return PyRef::borrow(Py_NotImplemented);
    const CountedCorpus& a = corpus_of(self);
    const CountedCorpus& b = corpus_of(other);
    const bool equal = a.settings == b.settings && a.counts == b.counts;
    return PyRef::borrow(equal == (op == Py_EQ) ? Py_True : Py_False);
  });
}

PyObject* repr(PyObject* self) noexcept {
  return guarded([self] {
    const CountedCorpus& corpus = corpus_of(self);
    const PyRef settings = settings_text(corpus.settings);
    return checked(PyUnicode_FromFormat("WordCounts(%zu distinct words; %U)", corpus.counts.size(), settings.get()));
  });
}

PyType_Slot word_counts_slots[] = {
    {Py_tp_doc, const_cast<char*>("The word counts of a corpus, in order of first appearance, with the settings "
                                  "that made them.")},
    {Py_tp_new, as_slot(refuse_construction)},
    {Py_tp_dealloc, as_slot(dealloc_instance<CountedCorpus>)},
    {Py_tp_repr, as_slot(repr)},
    {Py_tp_richcompare, as_slot(richcompare)},
    {Py_tp_methods, word_counts_methods},
    {Py_sq_length, as_slot(length)},
    {Py_nb_add, as_slot(add)},
    {0, nullptr},
};

PyType_Spec word_counts_spec = {
    .name = "wordloom_tools._native.WordCounts",
    .basicsize = sizeof(PyWordCounts),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = word_counts_slots,
};

}  // namespace

template <>
LazyType& python_class<CountedCorpus>() {
  static LazyType type(word_counts_spec);
  return type;
}

}  // namespace wordloom::python
