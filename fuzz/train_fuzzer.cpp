// Fuzzes training. Input byte 0 picks the settings (bit 0: punctuation
// pre-tokenizer, bit 1: Aho-Corasick removal, the other bits: the chunk size
// of a second training), byte 1 the target size (times two); the rest is cut
// at 0xFF bytes into special tokens and, last, the corpus. Training must
// learn consistent tables, learn the same ones again reading the corpus in
// chunks of a few bytes, save them so that they load unchanged, and encode
// its own corpus.
#include <cstdint>

#include "fuzz_support.hpp"

namespace wordloom::fuzz {
namespace {

struct Settings {
  PreTokenization kind;
  SpecialTokenRemovalMethod removal;
  std::uint64_t target;
  std::vector<std::string> special_tokens;
};

BpeTokenizer train(const Settings& settings, const std::filesystem::path& corpus,
                   std::size_t chunk_bytes = TrainingOptions{}.corpus_chunk_bytes) {
  BpeTokenizer tokenizer = BpeTokenizer::create(corpus.string(), settings.target, settings.kind,
                                                settings.special_tokens, settings.removal, false, std::nullopt);
  TrainingOptions options;
  options.corpus_chunk_bytes = chunk_bytes;
  require(tokenizer.train(options).has_value(), "an untrained tokenizer trains");
  return tokenizer;
}

// Ids are dense and unique, special tokens come first, every merge names
// tokens and yields their concatenation, and merging stops at the target.
void check_tables(const Model& tokenizer, const Settings& settings) {
  const TokenTable& table = tokenizer.token_table;
  require(table.token_to_id.size() == table.size(), "one id per token");
  for (TokenId id = 0; id < table.size(); ++id) {
    require(*table.id_of(table.id_to_token[id]) == id, "the two sides of the table agree");
  }
  for (const std::string& token : settings.special_tokens) {
    require(*table.id_of(token) < settings.special_tokens.size(), "special tokens have the first ids");
  }
  require(tokenizer.merge_rules.empty() || table.size() <= settings.target, "merging stops at the target");
  const PairMap<std::uint64_t> save_ranks = tokenizer.merge_pairs.save_ranks();
  const PairMap<TokenId> pairs_to_merge = tokenizer.merge_pairs.pairs_to_merge();
  require(save_ranks.size() == pairs_to_merge.size(), "every ranked pair has a result");
  for (std::size_t rank = 0; rank < tokenizer.merge_rules.size(); ++rank) {
    const TokenPair pair = tokenizer.merge_rules[rank];
    require(pair.left < table.size() && pair.right < table.size(), "merges name tokens");
    require(save_ranks.at(pair) >= rank, "a pair keeps its last rank");
    const std::string* merged = table.token_of(pairs_to_merge.at(pair));
    require(merged != nullptr && *merged == table.id_to_token[pair.left] + table.id_to_token[pair.right],
            "a merge yields the concatenation");
  }
}

void check_saved_and_loaded(const Model& tokenizer) {
  const std::string directory = (scratch_directory() / "model").string();
  require(save_model_files(tokenizer, directory).has_value(), "a trained model saves");
  Result<std::shared_ptr<const Model>> loaded = load_model_files(directory);
  require(loaded.has_value(), "a saved model loads");
  const Model& model = **loaded;
  require(model.token_table.id_to_token == tokenizer.token_table.id_to_token, "the vocabulary loads unchanged");
  require(model.merge_rules == tokenizer.merge_rules &&
              model.merge_pairs.save_ranks() == tokenizer.merge_pairs.save_ranks() &&
              model.merge_pairs.pairs_to_merge() == tokenizer.merge_pairs.pairs_to_merge() &&
              model.config.special_tokens == tokenizer.config.special_tokens,
          "the merge tables load unchanged");
}

}  // namespace
}  // namespace wordloom::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace wordloom::fuzz;
  if (size < 2) return 0;
  const std::vector<std::string_view> fields = split_fields({data + 2, size - 2});
  if (!all_valid_utf8(fields)) return 0;  // training refuses such a corpus
  using Kind = wordloom::PreTokenization;
  using Removal = wordloom::SpecialTokenRemovalMethod;
  const Settings settings{(data[0] & 1) != 0 ? Kind::Punctuation : Kind::Whitespace,
                          (data[0] & 2) != 0 ? Removal::AhoCorasick : Removal::Simple, 2u * data[1],
                          std::vector<std::string>(fields.begin(), fields.end() - 1)};
  const std::filesystem::path corpus = scratch_directory() / "corpus.txt";
  write_file(corpus, fields.back());

  const wordloom::BpeTokenizer tokenizer = train(settings, corpus);
  const wordloom::Model& model = *tokenizer.model;
  check_tables(model, settings);
  const wordloom::BpeTokenizer again = train(settings, corpus, 1 + (data[0] >> 2));
  require(again.model->token_table.id_to_token == model.token_table.id_to_token &&
              again.model->merge_rules == model.merge_rules,
          "training is deterministic, whatever the chunk size");
  check_saved_and_loaded(model);
  encode_and_check(tokenizer, fields.back());
  return 0;
}
