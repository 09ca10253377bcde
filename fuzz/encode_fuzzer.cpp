// Fuzzes encoding with a small model (trained, saved and loaded at start).
// The first input byte picks the pre-tokenizer (bit 0: punctuation); the rest
// is cut at 0xFF bytes into special tokens and, last, the text. Encoding never
// fails on valid UTF-8 except with an internal failure for a character the
// model does not know.
#include <cstdint>

#include "fuzz_support.hpp"

namespace wordloom::fuzz {
namespace {

// Every printable ASCII character, the white space of several scripts and
// characters of two, three and four bytes, in words that repeat.
constexpr std::string_view kCorpus =
    "the quick brown fox jumps over the lazy dog THE QUICK BROWN FOX 0123456789\n"
    "! \" # $ % & ' ( ) * + , - . / : ; < = > ? @ [ \\ ] ^ _ ` { | } ~ </w> <s>\n"
    "caf\u00e9 na\u00efve \u00fcber stra\u00dfe \u0416\u0443\u043a \u4e2d\u6587 \U0001F600\U0001F600 "
    "\U0001D518x\t\u00a0\u3000end\r\n"
    "lower lowest newer newest wider widest low new wide don't can't it's <s>a</s>\n";

// The corpus trained on, saved and loaded back, as a user's model would be.
struct TrainedModel {
  BpeTokenizer loaded;

  TrainedModel() {
    const std::filesystem::path corpus = scratch_directory() / "corpus.txt";
    write_file(corpus, kCorpus);
    BpeTokenizer trained = BpeTokenizer::create(corpus.string(), 400, PreTokenization::Whitespace, {"<s>", "</s>"},
                                                SpecialTokenRemovalMethod::Simple, false, std::nullopt);
    require(trained.train().has_value(), "the model trains");
    const std::string directory = (scratch_directory() / "model").string();
    require(save_model_files(*trained.model, directory).has_value(), "the model saves");
    Result<BpeTokenizer> model = BpeTokenizer::new_from_pretrained(directory);
    require(model.has_value(), "the model loads");
    loaded = std::move(model).value();
  }

  // A record with the learned tables and the given settings.
  BpeTokenizer with(PreTokenization kind, std::vector<std::string> special_tokens) const {
    const Model& learned = *loaded.model;
    Config config = learned.config;
    config.pre_tokenizer = kind;
    config.special_tokens = std::move(special_tokens);
    BpeTokenizer tokenizer;
    tokenizer.model = std::make_shared<const Model>(std::move(config), learned.token_table, learned.merge_rules,
                                                    learned.merge_pairs);
    return tokenizer;
  }
};

const TrainedModel& model() {
  static const TrainedModel instance;
  return instance;
}

}  // namespace
}  // namespace wordloom::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  wordloom::fuzz::model();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace wordloom::fuzz;
  if (size == 0) return 0;
  const auto kind =
      (data[0] & 1) != 0 ? wordloom::PreTokenization::Punctuation : wordloom::PreTokenization::Whitespace;
  const std::vector<std::string_view> fields = split_fields({data + 1, size - 1});
  if (!all_valid_utf8(fields)) return 0;
  const std::vector<std::string> special_tokens(fields.begin(), fields.end() - 1);
  const wordloom::BpeTokenizer tokenizer = model().with(kind, special_tokens);
  const std::optional<wordloom::Encoder> first = encode_and_check(tokenizer, fields.back());
  const std::optional<wordloom::Encoder> again = encode_and_check(tokenizer, fields.back());  // from the word cache
  require(first.has_value() == again.has_value() && (!first || first->ids == again->ids), "encoding is repeatable");
  return 0;
}
