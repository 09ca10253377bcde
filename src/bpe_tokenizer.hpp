// The tokenizer record: its settings, its vocabulary and the merge tables that
// training learns or a model directory restores, with every operation on it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "interrupt_check.hpp"
#include "pretokenizer.hpp"
#include "tokenizer_error.hpp"
#include "tokenizer_tables.hpp"

namespace wordloom {

enum class SpecialTokenRemovalMethod : std::uint8_t { Simple = 0, AhoCorasick = 1 };

enum class TokenType : std::uint8_t { Word = 0, Subword = 1, SpecialToken = 2 };

inline constexpr std::string_view kEndOfWord = "</w>";

// The four settings saved with a model, in their persisted order.
struct Config {
  std::uint64_t target_vocab_size = 0;
  PreTokenization pre_tokenizer = PreTokenization::Whitespace;
  std::vector<std::string> special_tokens;
  SpecialTokenRemovalMethod special_token_removal_method = SpecialTokenRemovalMethod::Simple;
};

// The result of one encode call; never changed once filled.
struct Encoder {
  std::string original_text;
  std::vector<std::string> tokens;
  std::vector<TokenId> ids;
  std::vector<TokenType> token_types;

  // The type of the first token equal to `token`.
  Result<TokenType> get_token_type(std::string_view token) const;
};

// Derived lookup data for encoding, rebuilt whenever the tables change.
class EncodingCache;

struct TrainingOptions {
  unsigned worker_threads = 0;  // 0: one per hardware thread
  InterruptCheck check_interrupt;
};

struct BpeTokenizer {
  std::string input_path;
  std::vector<std::string> special_tokens;
  TokenTable token_table;
  std::vector<TokenPair> merge_rules;
  std::optional<std::string> output_dir;
  PairMap<std::uint64_t> save_ranks;
  PairMap<TokenId> pairs_to_merge;
  std::uint64_t target_vocab_size = 0;
  PreTokenization pre_tokenizer = PreTokenization::Whitespace;
  SpecialTokenRemovalMethod special_token_removal_method = SpecialTokenRemovalMethod::Simple;
  bool trained = false;
  bool save_model = false;

  BpeTokenizer();
  ~BpeTokenizer();
  BpeTokenizer(BpeTokenizer&&) noexcept;
  BpeTokenizer& operator=(BpeTokenizer&&) noexcept;

  // An untrained record; nothing is validated here.
  static BpeTokenizer create(std::string_view input_path, std::uint64_t target_vocab_size,
                             PreTokenization pre_tokenizer, std::vector<std::string> special_tokens,
                             SpecialTokenRemovalMethod special_token_removal_method, bool save_model,
                             std::optional<std::string_view> output_dir);

  // A trained record restored from a model directory. Every failure but a
  // malformed pair key (InternalFailure) ends the process.
  static BpeTokenizer new_from_pretrained(std::string_view files_path);

  // Learns the vocabulary from `input_path`. Returns an error only for an
  // already trained record; unreadable corpora and failed saves end the process.
  Result<void> train(const TrainingOptions& options = {});

  Result<Encoder> encode(std::string_view text, const InterruptCheck& check_interrupt = {}) const;
  Result<std::string> decode(std::span<const TokenId> ids) const;
  Result<TokenId> get_id_by_token(std::string_view token) const;
  Result<std::string> get_token_by_id(TokenId id) const;

  Config config() const;

  // Applies the learned merges by rank to every word, in place.
  void encode_bpe_merging(std::vector<std::vector<TokenId>>& words) const;

 private:
  // Derived from the tables; built on first use and dropped when they change.
  EncodingCache& encoding_cache() const;
  mutable std::unique_ptr<EncodingCache> encoding_cache_;
};

// Writes the five model files of a trained record into `output_dir`, creating
// it with its parents.
Result<void> save_model_files(const BpeTokenizer& tokenizer, const std::string& output_dir);

// Reads the five model files of `files_path` into a trained record.
Result<BpeTokenizer> load_model_files(std::string_view files_path);

}  // namespace wordloom
