// The tokenizer record (its settings and, once trained or loaded, its model)
// with every operation on it, and the model: the tables training learns.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "character_ids.hpp"
#include "interrupt_check.hpp"
#include "merge_pairs.hpp"
#include "pretokenizer.hpp"
#include "special_tokens.hpp"
#include "tokenizer_error.hpp"
#include "tokenizer_tables.hpp"
#include "word_merger.hpp"
#include "word_counts.hpp"

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

// The timed phases of training, in the order they run.
enum class TrainingPhase : std::uint8_t { SpecialTokenRemoval, VocabularyBuilding, InitialPairs };

// What training tells about its progress; the caller decides whether and how
// it is shown. Called on the training thread.
class TrainingObserver {
 public:
  virtual ~TrainingObserver() = default;
  virtual void phase_finished(TrainingPhase phase, std::chrono::nanoseconds elapsed) = 0;
  // The merge loop stopped before the target size: no pair was left.
  virtual void pairs_exhausted() = 0;
  // Now and then while counting: so many bytes of text are counted so far.
  virtual void corpus_counted(std::uint64_t /*bytes*/) {}
  // Now and then while merging: `added` of the `wanted` tokens are learned.
  virtual void merges_done(std::uint64_t /*added*/, std::uint64_t /*wanted*/) {}
};

struct TrainingOptions {
  unsigned worker_threads = 0;  // 0: one per hardware thread
  // The corpus is read and cleaned a chunk of about this size at a time.
  std::size_t corpus_chunk_bytes = std::size_t{32} << 20;
  // A chunk's words are counted in blocks of about this size on the worker
  // threads; a block is also the longest stretch between interrupt checks.
  std::size_t count_block_bytes = std::size_t{8} << 20;
  InterruptCheck check_interrupt;
  TrainingObserver* observer = nullptr;  // none: nothing is reported
};

// What training learns or a model directory holds, together with the settings
// it was learned with. Built once, then shared read-only (shared_ptr<const
// Model>) by every reader, on any thread. It stays where it was built, since
// the splitter refers to its special tokens.
struct Model {
  Config config;
  TokenTable token_table;
  std::vector<TokenPair> merge_rules;
  // save_ranks (pair -> position in merge_rules) and pairs_to_merge (pair ->
  // id of the merged token), joined in the merge table the merger reads.
  MergePairs merge_pairs;
  StringSet special_token_set;              // config.special_tokens, for membership tests
  SpecialTokenSplitter special_token_splitter;  // cuts encoding input at config.special_tokens
  std::optional<TokenId> end_of_word;       // the id of "</w>", when the table has it
  CharacterIds character_ids;               // token_to_id's one-character tokens, by code point

  // Derives the lookup data from the tables.
  Model(Config config, TokenTable token_table, std::vector<TokenPair> merge_rules, MergePairs merge_pairs);
  Model(Config config, TokenTable token_table, std::vector<TokenPair> merge_rules,
        PairMap<std::uint64_t> save_ranks, PairMap<TokenId> pairs_to_merge);
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  bool is_special_token(std::string_view token) const { return special_token_set.contains(token); }
};

// Merged id sequences of recently encoded words, bounded in bytes. Belongs to
// one caller at a time: it is not safe to share between threads.
class WordCache {
 public:
  // The merged ids of `word` (end-of-word included), computed on a miss;
  // valid until the next call. Raises InternalFailure for a character
  // without a token.
  const std::vector<TokenId>& merged_word(const Model& model, std::string_view word,
                                          const InterruptCheck& check_interrupt = {});

 private:
  friend void encode_ids_into(const Model& model, WordCache& cache, std::string_view text,
                              std::vector<TokenId>& ids, const InterruptCheck& check_interrupt,
                              StringViewSet* words);

  struct Slot {
    std::uint32_t tag;    // bits of the word's hash, never 0; 0 marks an empty slot
    std::uint32_t entry;  // where the word's entry starts in entries_
  };

  // Appends the merged ids of each of `words` to `ids`, looking the words up
  // together so that their reads of memory overlap.
  void append_merged_words(const Model& model, std::span<const std::string_view> words, std::vector<TokenId>& ids,
                           const InterruptCheck& check_interrupt);
  const std::vector<TokenId>& merged_word(const Model& model, std::string_view word, std::uint32_t tag,
                                          const InterruptCheck& check_interrupt);
  std::size_t find_slot(std::uint32_t tag, std::string_view word) const;
  void insert(std::uint32_t tag, std::string_view word);
  void grow();
  void clear();

  // Open addressing over slots_, at most 5/8 full. Per word, entries_ holds
  // a header (byte count << 16 | id count), the merged ids, then the word's
  // bytes: a hit reads one slot and one entry.
  std::vector<Slot> slots_;
  std::vector<std::uint32_t> entries_;
  std::size_t size_ = 0;  // words cached
  std::vector<TokenId> result_;  // what merged_word returns
  std::vector<std::string_view> pending_words_;  // encode_ids_into's words awaiting their ids, kept for reuse
  WordMerger merger_;
};

struct BpeTokenizer {
  std::string input_path;
  std::vector<std::string> special_tokens;
  std::optional<std::string> output_dir;
  std::uint64_t target_vocab_size = 0;
  PreTokenization pre_tokenizer = PreTokenization::Whitespace;
  SpecialTokenRemovalMethod special_token_removal_method = SpecialTokenRemovalMethod::Simple;
  bool save_model = false;
  std::shared_ptr<const Model> model;  // none until trained or loaded

  BpeTokenizer();
  ~BpeTokenizer();
  BpeTokenizer(BpeTokenizer&&) noexcept;
  BpeTokenizer& operator=(BpeTokenizer&&) noexcept;

  // An untrained record; nothing is validated here.
  static BpeTokenizer create(std::string_view input_path, std::uint64_t target_vocab_size,
                             PreTokenization pre_tokenizer, std::vector<std::string> special_tokens,
                             SpecialTokenRemovalMethod special_token_removal_method, bool save_model,
                             std::optional<std::string_view> output_dir);

  // A trained record restored from a model directory.
  static Result<BpeTokenizer> new_from_pretrained(std::string_view files_path);

  // A trained record holding `model`, with the settings it was learned with
  // and no corpus, as a loaded one has.
  static BpeTokenizer holding(std::shared_ptr<const Model> model);

  // The same settings, sharing the same model (which never changes); the
  // copy's word cache starts empty.
  BpeTokenizer copy() const;

  bool trained() const { return model != nullptr; }
  // The number of tokens: 0 before training.
  std::size_t vocab_size() const { return model ? model->token_table.size() : 0; }

  // Learns the vocabulary from `input_path`, then saves the model when
  // `save_model` is set. Errors: InvalidState for an already trained record
  // (nothing changed), UnreadableCorpus (nothing changed), and the saving
  // errors (the record is trained by then).
  Result<void> train(const TrainingOptions& options = {});

  Result<Encoder> encode(std::string_view text, const InterruptCheck& check_interrupt = {}) const;
  // The ids of encode(text), without the token strings and types.
  Result<std::vector<TokenId>> encode_ids(std::string_view text, const InterruptCheck& check_interrupt = {}) const;
  Result<std::string> decode(std::span<const TokenId> ids) const;
  Result<TokenId> get_id_by_token(std::string_view token) const;
  Result<std::string> get_token_by_id(TokenId id) const;

  Config config() const;

 private:
  mutable WordCache word_cache_;  // encode runs on one thread at a time (the caller's)
};

// Learns a model from the text of a corpus.
std::shared_ptr<const Model> train_model(std::string_view text, const Config& config, const TrainingOptions& options);

// Learns a model from the words of a corpus, counted with the settings of
// `config`: the same model as from the text the counts were made of.
std::shared_ptr<const Model> train_model_from_counts(const WordCounts& counts, const Config& config,
                                                     const TrainingOptions& options);

// Text rarely makes more than one id per this many bytes (only runs of tiny
// words do): a bound on the ids of a text, good for sizing.
inline constexpr std::size_t kFewestBytesPerId = 3;

// Appends the ids of `text` to `ids`, and each of its words to `words` when
// given. Raises InternalFailure for a character without a token.
void encode_ids_into(const Model& model, WordCache& cache, std::string_view text, std::vector<TokenId>& ids,
                     const InterruptCheck& check_interrupt, StringViewSet* words = nullptr);

// Applies the learned merges by rank to every word, in place.
void encode_bpe_merging(const Model& model, std::vector<std::vector<TokenId>>& words);

// Writes the five model files into `output_dir`, creating it with its parents.
Result<void> save_model_files(const Model& model, const std::string& output_dir);

// Reads the five model files of `files_path`.
Result<std::shared_ptr<const Model>> load_model_files(std::string_view files_path);

}  // namespace wordloom
