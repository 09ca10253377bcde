// Training: from a corpus file to the vocabulary and the learned merges.
//
// Words are counted once each (distinct words with counts, in order of first
// appearance), their symbols live as linked lists in one arena, and every
// adjacent pair keeps an exact count weighted by word counts together with
// the arena positions where it was seen. A merge visits only the positions of
// the selected pair and applies the count changes as exact deltas, so counts
// always equal the number of adjacent occurrences in the current words.
#include <algorithm>
#include <limits>
#include <queue>

#include "bpe_tokenizer.hpp"
#include "elapsed_time.hpp"
#include "file_reading.hpp"
#include "special_tokens.hpp"
#include "utf8.hpp"
#include "worker_pool.hpp"

namespace wordloom {
namespace {

// ---- Reading the corpus ----

Result<std::string> read_corpus(const std::string& path) {
  expected<std::string, FileReadError> text = read_regular_file(path);
  if (!text) return fail(TokenizerError::unreadable_corpus(os_error_text(text.error().error_number)));
  if (!is_valid_utf8(*text)) return fail(TokenizerError::unreadable_corpus("stream did not contain valid UTF-8"));
  return std::move(text).value();
}

// ---- Special tokens ----

std::string remove_special_tokens(std::string text, const std::vector<std::string>& tokens,
                                  SpecialTokenRemovalMethod method) {
  if (method == SpecialTokenRemovalMethod::AhoCorasick) return AhoCorasick(tokens).remove_all(text);
  return remove_one_token_at_a_time(text, tokens);
}

// ---- Distinct words ----

using WordIndex = StringKeyedMap<std::string_view, std::uint32_t>;

struct DistinctWords {
  std::vector<std::string_view> words;  // in order of first appearance
  std::vector<std::uint64_t> counts;

  void add(WordIndex& index, std::string_view word, std::uint64_t count) {
    auto [slot, inserted] = index.try_emplace(word, static_cast<std::uint32_t>(words.size()));
    if (inserted) {
      words.push_back(word);
      counts.push_back(count);
    } else {
      counts[slot->second] += count;
    }
  }
};

// Block boundaries that fall at white space, so that no word spans two blocks.
std::vector<std::size_t> whitespace_block_bounds(std::string_view text, std::size_t blocks) {
  std::vector<std::size_t> bounds{0};
  for (std::size_t block = 1; block < blocks; ++block) {
    std::size_t pos = std::max(bounds.back(), text.size() * block / blocks);
    while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
    while (pos < text.size() && pretokenizer_detail::whitespace_length(text, pos) == 0) {
      pos += utf8_char_length(static_cast<unsigned char>(text[pos]));
    }
    bounds.push_back(pos);
  }
  bounds.push_back(text.size());
  return bounds;
}

// Counts the words of `text` in blocks, one round of blocks at a time on the
// worker threads, each block into its own table. The tables join the total in
// block order, so first appearance in the text still decides the order.
DistinctWords count_distinct_words(PreTokenization kind, std::string_view text, const TrainingOptions& options) {
  const unsigned threads = options.worker_threads == 0 ? default_worker_threads() : options.worker_threads;
  const std::size_t block_bytes = std::max<std::size_t>(1, options.count_block_bytes);
  const std::size_t blocks = std::max<std::size_t>(1, (text.size() + block_bytes - 1) / block_bytes);
  const std::vector<std::size_t> bounds = whitespace_block_bounds(text, blocks);
  DistinctWords distinct;
  WordIndex index;
  for (std::size_t first = 0; first < blocks; first += threads) {
    std::vector<DistinctWords> partial(std::min<std::size_t>(threads, blocks - first));
    fork_join_blocks(partial.size(), threads, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        const std::size_t block = first + k;
        WordIndex block_index;
        for_each_word(kind, text.substr(bounds[block], bounds[block + 1] - bounds[block]),
                      [&](std::string_view word) { partial[k].add(block_index, word, 1); });
      }
    });
    for (const DistinctWords& part : partial) {
      for (std::size_t i = 0; i < part.words.size(); ++i) distinct.add(index, part.words[i], part.counts[i]);
    }
    check_for_interrupt(options.check_interrupt);
  }
  return distinct;
}

// ---- Symbols of the distinct words ----

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// The symbols of every distinct word as doubly linked lists in one arena; a
// merge relinks the survivors, so arena positions never move.
struct SymbolArena {
  std::vector<TokenId> symbol;
  std::vector<std::uint32_t> prev;
  std::vector<std::uint32_t> next;  // kNone at a word's end and for a symbol merged into its left neighbour
  std::vector<std::uint32_t> word;  // index of the distinct word
};

// Gives every character its one-character token, in order of first
// appearance, and returns each word's length in symbols (end-of-word included).
class Alphabet {
 public:
  Alphabet() { std::fill(std::begin(ascii_), std::end(ascii_), kNone); }

  std::vector<std::uint32_t> assign_ids(const DistinctWords& distinct, TokenTable& table) {
    std::vector<std::uint32_t> lengths;
    lengths.reserve(distinct.words.size());
    for (std::string_view word : distinct.words) {
      std::uint32_t length = 1;
      for_each_char(word, [&](std::string_view character) {
        ++length;
        TokenId& slot = slot_of(character);
        if (slot == kNone) slot = table.get_or_insert_id(character);
      });
      lengths.push_back(length);
    }
    return lengths;
  }

  TokenId id_of(std::string_view character) const {
    if (character.size() == 1) return ascii_[static_cast<unsigned char>(character[0])];
    auto found = other_.find(utf8_code_point(character, 0));
    if (found == other_.end()) internal_failure("a character of the corpus has no id");
    return found->second;
  }

 private:
  TokenId& slot_of(std::string_view character) {
    if (character.size() == 1) return ascii_[static_cast<unsigned char>(character[0])];
    return other_.try_emplace(utf8_code_point(character, 0), kNone).first->second;
  }

  TokenId ascii_[128];
  boost::unordered_flat_map<char32_t, TokenId> other_;
};

SymbolArena build_arena(const DistinctWords& distinct, const std::vector<std::uint32_t>& lengths,
                        const Alphabet& alphabet, TokenId end_of_word, unsigned threads) {
  std::vector<std::size_t> offsets(lengths.size() + 1, 0);
  for (std::size_t w = 0; w < lengths.size(); ++w) offsets[w + 1] = offsets[w] + lengths[w];
  if (offsets.back() >= kNone) internal_failure("the corpus has too many distinct symbols to train on");
  SymbolArena arena;
  const std::size_t size = offsets.back();
  arena.symbol.resize(size);
  arena.prev.resize(size);
  arena.next.resize(size);
  arena.word.resize(size);
  fork_join_blocks(distinct.words.size(), threads, 4096, [&](std::size_t begin, std::size_t end) {
    for (std::size_t w = begin; w < end; ++w) {
      auto pos = static_cast<std::uint32_t>(offsets[w]);
      const auto last = static_cast<std::uint32_t>(offsets[w + 1] - 1);
      for_each_char(distinct.words[w],
                    [&](std::string_view character) { arena.symbol[pos++] = alphabet.id_of(character); });
      arena.symbol[last] = end_of_word;
      for (auto p = static_cast<std::uint32_t>(offsets[w]); p <= last; ++p) {
        arena.prev[p] = p == offsets[w] ? kNone : p - 1;
        arena.next[p] = p == last ? kNone : p + 1;
        arena.word[p] = static_cast<std::uint32_t>(w);
      }
    }
  });
  return arena;
}

// ---- Pair statistics and the merge loop ----

// What training learns; moved into the record only when training completes,
// so a failed or interrupted run leaves the record untouched.
struct LearnedTables {
  TokenTable table;
  std::vector<TokenPair> merge_rules;
  std::vector<TokenId> merged_ids;  // the token each rule produced
};

struct PairScore {
  std::uint64_t count;
  TokenPair pair;
  // Count first, then left id, then right id: a total order, so the pop order
  // never depends on the order of pushes.
  friend bool operator<(const PairScore& a, const PairScore& b) {
    return std::tie(a.count, a.pair.left, a.pair.right) < std::tie(b.count, b.pair.left, b.pair.right);
  }
};

struct PairStats {
  std::uint64_t count = 0;
  std::vector<std::uint32_t> positions;  // arena positions where the pair was seen; may be stale
};

class MergeTrainer {
 public:
  MergeTrainer(SymbolArena arena, std::vector<std::uint64_t> word_counts)
      : arena_(std::move(arena)), word_counts_(std::move(word_counts)) {}

  void count_initial_pairs(const InterruptCheck& check_interrupt) {
    for (std::uint32_t p = 0; p < arena_.symbol.size(); ++p) {
      if (p % (1 << 20) == 0) check_for_interrupt(check_interrupt);
      const std::uint32_t q = arena_.next[p];
      if (q == kNone) continue;
      PairStats& stats = pairs_[{arena_.symbol[p], arena_.symbol[q]}];
      stats.count += word_counts_[arena_.word[p]];
      stats.positions.push_back(p);
    }
    std::vector<PairScore> scores;
    scores.reserve(pairs_.size());
    for (const auto& [pair, stats] : pairs_) scores.push_back({stats.count, pair});
    queue_ = std::priority_queue<PairScore>(std::less<PairScore>(), std::move(scores));
  }

  // Merges until the table holds `target` tokens or no pair is left.
  void run(std::uint64_t target, LearnedTables& learned, const TrainingOptions& options) {
    while (learned.table.size() < target) {
      check_for_interrupt(options.check_interrupt);
      std::optional<TokenPair> best = pop_best_pair();
      if (!best) {
        if (options.observer) options.observer->pairs_exhausted();
        return;
      }
      const TokenId merged = learned.table.get_or_insert_id(merged_token(learned.table, *best));
      learned.merge_rules.push_back(*best);
      learned.merged_ids.push_back(merged);
      merge_everywhere(*best, merged);
    }
  }

 private:
  static std::string merged_token(const TokenTable& table, TokenPair pair) {
    const std::string* left = table.token_of(pair.left);
    if (left == nullptr) internal_failure("Token1 not found");
    const std::string* right = table.token_of(pair.right);
    if (right == nullptr) internal_failure("Token2 not found");
    return *left + *right;
  }

  // The greatest current entry; stale entries (whose count no longer matches)
  // are dropped on the way. A pair whose count fell to 0 stays selectable.
  std::optional<TokenPair> pop_best_pair() {
    while (!queue_.empty()) {
      const PairScore top = queue_.top();
      queue_.pop();
      auto found = pairs_.find(top.pair);
      if (found != pairs_.end() && found->second.count == top.count) return top.pair;
    }
    return std::nullopt;
  }

  // Runs four times per merged occurrence; without the attribute GCC calls
  // Boost's insertion path out of line here, about 8% of the training time.
  [[gnu::always_inline]] void add_delta(TokenPair pair, std::int64_t delta) { deltas_[pair] += delta; }

  // Rewrites every occurrence of `pair`, word by word left to right without
  // overlap, and applies the exact count changes.
  void merge_everywhere(TokenPair pair, TokenId merged) {
    auto found = pairs_.find(pair);
    if (found == pairs_.end()) return;
    std::vector<std::uint32_t> positions = std::move(found->second.positions);
    pairs_.erase(found);
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());

    deltas_.clear();
    new_positions_.clear();
    for (std::uint32_t p : positions) {
      if (arena_.symbol[p] != pair.left) continue;
      const std::uint32_t q = arena_.next[p];
      if (q == kNone || arena_.symbol[q] != pair.right) continue;
      merge_at(p, q, pair, merged);
    }
    apply_deltas(pair);
  }

  void merge_at(std::uint32_t p, std::uint32_t q, TokenPair pair, TokenId merged) {
    const auto count = static_cast<std::int64_t>(word_counts_[arena_.word[p]]);
    if (const std::uint32_t before = arena_.prev[p]; before != kNone) {
      const TokenId neighbour = arena_.symbol[before];
      add_delta({neighbour, pair.left}, -count);
      add_delta({neighbour, merged}, count);
      new_positions_.push_back({{neighbour, merged}, before});
    }
    const std::uint32_t after = arena_.next[q];
    if (after != kNone) {
      const TokenId neighbour = arena_.symbol[after];
      add_delta({pair.right, neighbour}, -count);
      add_delta({merged, neighbour}, count);
      new_positions_.push_back({{merged, neighbour}, p});
      arena_.prev[after] = p;
    }
    arena_.symbol[p] = merged;
    arena_.next[p] = after;
    arena_.next[q] = kNone;  // a removed symbol starts no pair
  }

  // Pairs that were only formed and broken again within this merge net to
  // zero and never enter the statistics.
  void apply_deltas(TokenPair merged_pair) {
    for (const auto& [pair, delta] : deltas_) {
      if (delta == 0 || pair == merged_pair) continue;
      auto [slot, inserted] = pairs_.try_emplace(pair);
      if (inserted && delta < 0) internal_failure("a pair count would fall below zero");
      slot->second.count = static_cast<std::uint64_t>(static_cast<std::int64_t>(slot->second.count) + delta);
      queue_.push({slot->second.count, pair});
    }
    for (const auto& [pair, position] : new_positions_) {
      auto slot = pairs_.find(pair);
      if (slot != pairs_.end()) slot->second.positions.push_back(position);
    }
  }

  SymbolArena arena_;
  std::vector<std::uint64_t> word_counts_;
  PairMap<PairStats> pairs_;
  std::priority_queue<PairScore> queue_;
  PairMap<std::int64_t> deltas_;
  std::vector<std::pair<TokenPair, std::uint32_t>> new_positions_;
};

std::shared_ptr<const Model> build_model(const Config& config, LearnedTables learned) {
  PairMap<std::uint64_t> ranks;
  PairMap<TokenId> results;
  ranks.reserve(learned.merge_rules.size());
  results.reserve(learned.merge_rules.size());
  for (std::size_t rank = 0; rank < learned.merge_rules.size(); ++rank) {
    ranks.insert_or_assign(learned.merge_rules[rank], rank);
    results.insert_or_assign(learned.merge_rules[rank], learned.merged_ids[rank]);
  }
  return std::make_shared<const Model>(config, std::move(learned.table), std::move(learned.merge_rules),
                                       std::move(ranks), std::move(results));
}

void report_phase(const TrainingOptions& options, TrainingPhase phase, const PhaseClock& clock) {
  if (options.observer) options.observer->phase_finished(phase, clock.elapsed());
}

}  // namespace

std::shared_ptr<const Model> train_model(std::string text, const Config& config, const TrainingOptions& options) {
  LearnedTables learned;
  if (!config.special_tokens.empty()) {
    for (const std::string& token : config.special_tokens) learned.table.get_or_insert_id(token);
    PhaseClock removal;
    text = remove_special_tokens(std::move(text), config.special_tokens, config.special_token_removal_method);
    report_phase(options, TrainingPhase::SpecialTokenRemoval, removal);
  }
  check_for_interrupt(options.check_interrupt);

  PhaseClock vocab_builder;
  std::optional<MergeTrainer> trainer;
  {
    const DistinctWords distinct = count_distinct_words(config.pre_tokenizer, text, options);
    Alphabet alphabet;
    const std::vector<std::uint32_t> lengths = alphabet.assign_ids(distinct, learned.table);
    const TokenId end_of_word = learned.table.get_or_insert_id(kEndOfWord);
    trainer.emplace(build_arena(distinct, lengths, alphabet, end_of_word, options.worker_threads),
                    distinct.counts);
  }
  std::string().swap(text);  // the distinct words pointed into it
  report_phase(options, TrainingPhase::VocabularyBuilding, vocab_builder);

  PhaseClock initial_pairs;
  check_for_interrupt(options.check_interrupt);
  trainer->count_initial_pairs(options.check_interrupt);
  report_phase(options, TrainingPhase::InitialPairs, initial_pairs);

  trainer->run(config.target_vocab_size, learned, options);
  trainer.reset();
  return build_model(config, std::move(learned));
}

Result<void> BpeTokenizer::train(const TrainingOptions& options) {
  if (trained()) return fail(TokenizerError::invalid_state("Cannot train a pretrained model"));
  Result<std::string> text = read_corpus(input_path);
  if (!text) return fail(std::move(text).error());
  model = train_model(std::move(text).value(), config(), options);

  if (!save_model) return {};
  if (!output_dir) return fail(TokenizerError::missing_output_directory());
  return save_model_files(*model, *output_dir);
}

}  // namespace wordloom
