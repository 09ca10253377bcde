// Encoding: special-token split, pre-tokenization, per-character ids, merges
// by rank, and the Encoder result.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

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
static_assert(kMaxCachedWordBytes < 0xFFFF, "an entry header holds the byte and id counts in 16 bits each");
constexpr std::uint32_t kEmptyTag = 0;
// Encoding looks words up this many at a time, and checks for interrupts in between.
constexpr std::size_t kWordsAtOnce = 4096;

// 32 bits of the word's hash, mixed once more since they choose the slot.
std::uint32_t tag_of(std::string_view word) {
  const auto tag = static_cast<std::uint32_t>(StringHash{}(word) * 0x9E3779B97F4A7C15ULL >> 32);
  return tag == kEmptyTag ? 1 : tag;
}

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
  InterruptCadence cadence(check_interrupt);
  for_each_char(word, [&](std::string_view character) {
    cadence.step();
    const std::optional<TokenId> id = model.character_ids.find(utf8_code_point(character, 0));
    if (!id) fail_unknown_character(character);
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
  return merged_word(model, word, tag_of(word), check_interrupt);
}

void WordCache::append_merged_words(const Model& model, std::span<const std::string_view> words,
                                    std::vector<TokenId>& ids, const InterruptCheck& check_interrupt) {
  constexpr std::size_t kGroup = 16;
  std::uint32_t tags[kGroup];
  for (std::size_t first = 0; first < words.size(); first += kGroup) {
    const std::size_t count = std::min(kGroup, words.size() - first);
    // Each stage starts the reads of every word before the next stage waits for any.
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = 0; i < count; ++i) {
      tags[i] = tag_of(words[first + i]);
      if (!slots_.empty()) __builtin_prefetch(&slots_[tags[i] & mask]);
    }
    for (std::size_t i = 0; i < count && !slots_.empty(); ++i) {
      const Slot& slot = slots_[tags[i] & mask];
      if (slot.tag == tags[i]) __builtin_prefetch(&entries_[slot.entry]);
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::vector<TokenId>& merged = merged_word(model, words[first + i], tags[i], check_interrupt);
      ids.insert(ids.end(), merged.begin(), merged.end());
    }
  }
}

const std::vector<TokenId>& WordCache::merged_word(const Model& model, std::string_view word, std::uint32_t tag,
                                                   const InterruptCheck& check_interrupt) {
  if (!slots_.empty()) {
    if (const Slot& slot = slots_[find_slot(tag, word)]; slot.tag != kEmptyTag) {
      const std::uint32_t* ids = &entries_[slot.entry + 1];
      result_.assign(ids, ids + (entries_[slot.entry] & 0xFFFF));
      return result_;
    }
  }
  word_symbols(model, word, result_, check_interrupt);
  merger_.merge(model.merge_pairs.table(), result_, check_interrupt);
  if (word.size() <= kMaxCachedWordBytes) insert(tag, word);
  return result_;
}

// The slot that holds `word`, or else the empty slot where it belongs.
std::size_t WordCache::find_slot(std::uint32_t tag, std::string_view word) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t index = tag & mask;; index = (index + 1) & mask) {
    const Slot& slot = slots_[index];
    if (slot.tag == kEmptyTag) return index;
    if (slot.tag != tag || entries_[slot.entry] >> 16 != word.size()) continue;
    const std::uint32_t* bytes = &entries_[slot.entry + 1 + (entries_[slot.entry] & 0xFFFF)];
    if (std::memcmp(bytes, word.data(), word.size()) == 0) return index;
  }
}

// Adds `word` with the ids in result_.
void WordCache::insert(std::uint32_t tag, std::string_view word) {
  const std::size_t entry_words = 1 + result_.size() + (word.size() + 3) / 4;
  if ((entries_.size() + entry_words) * sizeof(std::uint32_t) + slots_.size() * sizeof(Slot) > kMaxCacheBytes) {
    clear();
  }
  if ((size_ + 1) * 8 > slots_.size() * 5) grow();
  const auto entry = static_cast<std::uint32_t>(entries_.size());
  slots_[find_slot(tag, word)] = {tag, entry};
  ++size_;
  entries_.resize(entry + entry_words);
  entries_[entry] = static_cast<std::uint32_t>(word.size() << 16 | result_.size());
  std::copy(result_.begin(), result_.end(), &entries_[entry + 1]);
  std::memcpy(&entries_[entry + 1 + result_.size()], word.data(), word.size());
}

void WordCache::grow() {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::max<std::size_t>(2 * slots_.size(), 1024)));
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.tag == kEmptyTag) continue;
    std::size_t index = slot.tag & mask;
    while (slots_[index].tag != kEmptyTag) index = (index + 1) & mask;
    slots_[index] = slot;
  }
}

void WordCache::clear() {
  slots_.clear();
  entries_.clear();
  size_ = 0;
}

// ---- Model ----

Model::Model(Config config_, TokenTable token_table_, std::vector<TokenPair> merge_rules_, MergePairs merge_pairs_)
    : config(std::move(config_)),
      token_table(std::move(token_table_)),
      merge_rules(std::move(merge_rules_)),
      merge_pairs(std::move(merge_pairs_)),
      special_token_set(config.special_tokens.begin(), config.special_tokens.end()),
      special_token_splitter(config.special_tokens),
      character_ids(token_table.token_to_id) {
  if (const TokenId* id = token_table.id_of(kEndOfWord)) end_of_word = *id;
}

Model::Model(Config config_, TokenTable token_table_, std::vector<TokenPair> merge_rules_,
             PairMap<std::uint64_t> save_ranks, PairMap<TokenId> pairs_to_merge)
    : Model(std::move(config_), std::move(token_table_), std::move(merge_rules_),
            MergePairs(std::move(save_ranks), std::move(pairs_to_merge))) {}

void encode_bpe_merging(const Model& model, std::vector<std::vector<TokenId>>& words) {
  WordMerger merger;
  for (std::vector<TokenId>& word : words) merger.merge(model.merge_pairs.table(), word);
}

void encode_ids_into(const Model& model, WordCache& cache, std::string_view text, std::vector<TokenId>& ids,
                     const InterruptCheck& check_interrupt, StringViewSet* words) {
  end_of_word_id(model);
  std::vector<std::string_view>& pending = cache.pending_words_;  // words whose ids come next
  pending.clear();
  auto encode_piece = [&](std::string_view piece) {
    for_each_word(model.config.pre_tokenizer, piece, [&](std::string_view word) {
      if (words != nullptr) words->insert(word);
      pending.push_back(word);
      if (pending.size() < kWordsAtOnce) return;
      cache.append_merged_words(model, pending, ids, check_interrupt);
      pending.clear();
      check_for_interrupt(check_interrupt);
    });
    cache.append_merged_words(model, pending, ids, check_interrupt);
    pending.clear();
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
  // Room for the ids of most texts up front: growing a long result by
  // doubling copies it and touches fresh memory again and again.
  ids.reserve(text.size() / kFewestBytesPerId);
  encode_ids_into(*model, word_cache_, text, ids, check_interrupt);
  return ids;
}

}  // namespace wordloom
