// Encoding: special-token split, pre-tokenization, per-character ids, merges
// by rank, and the Encoder result.
#include <algorithm>
#include <cstdio>
#include <queue>

#include "bpe_tokenizer.hpp"
#include "special_tokens.hpp"
#include "utf8.hpp"

namespace wordloom {
namespace {

// The word cache keeps at most this many bytes of words and ids, and no word
// longer than kMaxCachedWordBytes: a long word is rarely repeated, and caching
// a few huge ones would pin memory for the life of the tokenizer.
constexpr std::size_t kMaxCacheBytes = 64 << 20;
constexpr std::size_t kMaxCachedWordBytes = 4096;
constexpr std::size_t kCacheEntryOverhead = 64;  // map slot, string and vector headers
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// A ranked adjacent pair of one word, starting at symbol `position`.
struct RankedPair {
  std::uint64_t rank;
  std::uint32_t position;
  TokenPair pair;
  // Lowest rank first, then leftmost.
  friend bool operator>(const RankedPair& a, const RankedPair& b) {
    return std::tie(a.rank, a.position) > std::tie(b.rank, b.position);
  }
};

// Merges one word by rank: each round takes the best-ranked pair present
// (leftmost on equal ranks), stops the word when that pair has no merge
// result, and otherwise merges all of its occurrences in one left-to-right
// pass. Ranked pairs wait in a heap and symbols form a linked list, so a word
// costs O(n log n) rather than a rescan per merge.
class WordMerger {
 public:
  WordMerger(const PairMap<std::uint64_t>& ranks, const PairMap<TokenId>& results)
      : ranks_(ranks), results_(results) {}

  // Checks for an interrupt every so often: one long word can take seconds.
  void merge(std::vector<TokenId>& word, const InterruptCheck& check_interrupt = {}) {
    if (word.size() < 2 || ranks_.empty()) return;
    cadence_.emplace(check_interrupt);
    reset(word);
    while (std::optional<RankedPair> best = pop_current()) {
      auto result = results_.find(best->pair);
      if (result == results_.end()) break;
      merge_round(*best, result->second);
    }
    compact(word);
  }

 private:
  void reset(const std::vector<TokenId>& word) {
    const auto size = static_cast<std::uint32_t>(word.size());
    symbols_ = word;
    next_.resize(size);
    prev_.resize(size);
    for (std::uint32_t i = 0; i < size; ++i) {
      prev_[i] = i == 0 ? kNone : i - 1;
      next_[i] = i + 1 == size ? kNone : i + 1;
    }
    heap_ = {};
    for (std::uint32_t i = 0; i + 1 < size; ++i) push_if_ranked(i);
  }

  void push_if_ranked(std::uint32_t position) {
    cadence_->step();
    const std::uint32_t after = next_[position];
    if (after == kNone) return;
    const TokenPair pair{symbols_[position], symbols_[after]};
    if (auto rank = ranks_.find(pair); rank != ranks_.end()) heap_.push({rank->second, position, pair});
  }

  bool holds(std::uint32_t position, TokenPair pair) const {
    if (symbols_[position] != pair.left) return false;
    const std::uint32_t after = next_[position];
    return after != kNone && symbols_[after] == pair.right;
  }

  // The best entry that still describes an adjacent pair of the word.
  std::optional<RankedPair> pop_current() {
    while (!heap_.empty()) {
      cadence_->step();
      const RankedPair top = heap_.top();
      heap_.pop();
      if (holds(top.position, top.pair)) return top;
    }
    return std::nullopt;
  }

  // Merges every occurrence of best.pair that exists when the round starts,
  // left to right; a merge whose result forms the pair again at the same
  // place merges again there. Pairs formed by this round join the heap only
  // afterwards, so the round never goes back to the left.
  void merge_round(const RankedPair& best, TokenId merged) {
    std::vector<std::uint32_t> occurrences{best.position};
    deferred_.clear();
    while (!heap_.empty() && heap_.top().rank == best.rank) {
      cadence_->step();
      const RankedPair entry = heap_.top();
      heap_.pop();
      if (entry.pair == best.pair) occurrences.push_back(entry.position);
      else deferred_.push_back(entry);
    }
    formed_.clear();
    for (std::uint32_t position : occurrences) {
      while (holds(position, best.pair)) merge_at(position, merged);
    }
    for (const RankedPair& entry : deferred_) heap_.push(entry);
    for (std::uint32_t position : formed_) push_if_ranked(position);
  }

  void merge_at(std::uint32_t position, TokenId merged) {
    cadence_->step();
    const std::uint32_t removed = next_[position];
    const std::uint32_t after = next_[removed];
    symbols_[position] = merged;
    next_[removed] = kNone;  // a removed symbol starts no pair
    next_[position] = after;
    if (after != kNone) prev_[after] = position;
    if (prev_[position] != kNone) formed_.push_back(prev_[position]);
    formed_.push_back(position);
  }

  void compact(std::vector<TokenId>& word) const {
    word.clear();
    for (std::uint32_t i = 0; i != kNone; i = next_[i]) word.push_back(symbols_[i]);
  }

  const PairMap<std::uint64_t>& ranks_;
  const PairMap<TokenId>& results_;
  std::vector<TokenId> symbols_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> prev_;
  std::priority_queue<RankedPair, std::vector<RankedPair>, std::greater<>> heap_;
  std::vector<RankedPair> deferred_;
  std::vector<std::uint32_t> formed_;
  std::optional<InterruptCadence> cadence_;
};

[[noreturn]] void fail_unknown_character(std::string_view character) {
  char code_point[16];
  std::snprintf(code_point, sizeof code_point, "U+%04X", static_cast<unsigned>(utf8_code_point(character, 0)));
  throw UnknownCharacter("the character '" + std::string(character) + "' (" + code_point +
                             ") has no token in the vocabulary",
                         std::source_location::current());
}

TokenId end_of_word_id(const Model& model) {
  if (!model.end_of_word) internal_failure("the vocabulary has no end-of-word token \"</w>\"");
  return *model.end_of_word;
}

// The word as one id per character followed by the end-of-word id.
void word_symbols(const Model& model, std::string_view word, std::vector<TokenId>& ids,
                  const InterruptCheck& check_interrupt) {
  ids.clear();
  ids.reserve(word.size() + 1);
  InterruptCadence cadence(check_interrupt);
  for_each_char(word, [&](std::string_view character) {
    cadence.step();
    const TokenId* id = model.token_table.id_of(character);
    if (id == nullptr) fail_unknown_character(character);
    ids.push_back(*id);
  });
  ids.push_back(end_of_word_id(model));
}

TokenType token_type(std::string_view token, const Model& model, const StringViewSet& words) {
  if (token == kEndOfWord || model.is_special_token(token)) return TokenType::SpecialToken;
  if (!token.ends_with(kEndOfWord)) return TokenType::Subword;
  token.remove_suffix(kEndOfWord.size());
  return words.contains(token) ? TokenType::Word : TokenType::Subword;
}

}  // namespace

// ---- WordCache ----

const std::vector<TokenId>& WordCache::merged_word(const Model& model, std::string_view word,
                                                   const InterruptCheck& check_interrupt) {
  if (auto cached = merged_words_.find(word); cached != merged_words_.end()) return cached->second;
  std::vector<TokenId> ids;
  word_symbols(model, word, ids, check_interrupt);
  WordMerger(model.save_ranks, model.pairs_to_merge).merge(ids, check_interrupt);
  if (word.size() > kMaxCachedWordBytes) {
    uncached_ = std::move(ids);
    return uncached_;
  }
  const std::size_t entry_bytes = kCacheEntryOverhead + word.size() + ids.size() * sizeof(TokenId);
  if (bytes_ + entry_bytes > kMaxCacheBytes) {
    merged_words_ = {};
    bytes_ = 0;
  }
  bytes_ += entry_bytes;
  return merged_words_.emplace(word, std::move(ids)).first->second;
}

// ---- Model ----

Model::Model(Config config_, TokenTable token_table_, std::vector<TokenPair> merge_rules_,
             PairMap<std::uint64_t> save_ranks_, PairMap<TokenId> pairs_to_merge_)
    : config(std::move(config_)),
      token_table(std::move(token_table_)),
      merge_rules(std::move(merge_rules_)),
      save_ranks(std::move(save_ranks_)),
      pairs_to_merge(std::move(pairs_to_merge_)),
      special_token_set(config.special_tokens.begin(), config.special_tokens.end()),
      special_token_splitter(config.special_tokens) {
  if (const TokenId* id = token_table.id_of(kEndOfWord)) end_of_word = *id;
}

void encode_bpe_merging(const Model& model, std::vector<std::vector<TokenId>>& words) {
  WordMerger merger(model.save_ranks, model.pairs_to_merge);
  for (std::vector<TokenId>& word : words) merger.merge(word);
}

void encode_ids_into(const Model& model, WordCache& cache, std::string_view text, std::vector<TokenId>& ids,
                     const InterruptCheck& check_interrupt, StringViewSet* words) {
  end_of_word_id(model);
  std::size_t words_seen = 0;
  auto encode_piece = [&](std::string_view piece) {
    for_each_word(model.config.pre_tokenizer, piece, [&](std::string_view word) {
      if (++words_seen % 4096 == 0) check_for_interrupt(check_interrupt);
      if (words != nullptr) words->insert(word);
      const std::vector<TokenId>& merged = cache.merged_word(model, word, check_interrupt);
      ids.insert(ids.end(), merged.begin(), merged.end());
    });
  };
  auto add_special_token = [&](const std::string& token) {
    if (const TokenId* id = model.token_table.id_of(token)) ids.push_back(*id);
  };
  if (model.config.special_tokens.empty()) encode_piece(text);
  else model.special_token_splitter.split(text, encode_piece, add_special_token, check_interrupt);
}

// ---- BpeTokenizer ----

Result<Encoder> BpeTokenizer::encode(std::string_view text, const InterruptCheck& check_interrupt) const {
  if (!trained()) return fail(TokenizerError::invalid_state("Cannot encode text without training the tokenizer"));
  Encoder encoder;
  encoder.original_text = std::string(text);
  StringViewSet words;  // for the token-type rule
  encode_ids_into(*model, word_cache_, text, encoder.ids, check_interrupt, &words);

  encoder.tokens.reserve(encoder.ids.size());
  encoder.token_types.reserve(encoder.ids.size());
  InterruptCadence cadence(check_interrupt);
  for (TokenId id : encoder.ids) {
    cadence.step();
    const std::string* token = model->token_table.token_of(id);
    if (token == nullptr) continue;
    encoder.token_types.push_back(token_type(*token, *model, words));
    encoder.tokens.push_back(*token);
  }
  return encoder;
}

Result<std::vector<TokenId>> BpeTokenizer::encode_ids(std::string_view text,
                                                      const InterruptCheck& check_interrupt) const {
  if (!trained()) return fail(TokenizerError::invalid_state("Cannot encode text without training the tokenizer"));
  std::vector<TokenId> ids;
  encode_ids_into(*model, word_cache_, text, ids, check_interrupt);
  return ids;
}

}  // namespace wordloom
