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
#include "corpus_counting.hpp"
#include "elapsed_time.hpp"
#include "utf8.hpp"
#include "worker_pool.hpp"

namespace wordloom {
namespace {

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

  std::vector<std::uint32_t> assign_ids(const WordCounts& counts, TokenTable& table) {
    std::vector<std::uint32_t> lengths;
    lengths.reserve(counts.size());
    for (std::size_t w = 0; w < counts.size(); ++w) {
      std::uint32_t length = 1;
      for_each_char(counts.word(w), [&](std::string_view character) {
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

SymbolArena build_arena(const WordCounts& counts, const std::vector<std::uint32_t>& lengths,
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
  fork_join_blocks(counts.size(), threads, 4096, [&](std::size_t begin, std::size_t end) {
    for (std::size_t w = begin; w < end; ++w) {
      auto pos = static_cast<std::uint32_t>(offsets[w]);
      const auto last = static_cast<std::uint32_t>(offsets[w + 1] - 1);
      for_each_char(counts.word(w),
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

void report_phase(const TrainingOptions& options, TrainingPhase phase, std::chrono::nanoseconds elapsed) {
  if (options.observer) options.observer->phase_finished(phase, elapsed);
}

// The symbols of every distinct word, after the alphabet and the end-of-word
// marker got their ids.
MergeTrainer symbols_of(const WordCounts& counts, TokenTable& table, unsigned threads) {
  Alphabet alphabet;
  const std::vector<std::uint32_t> lengths = alphabet.assign_ids(counts, table);
  const TokenId end_of_word = table.get_or_insert_id(kEndOfWord);
  return MergeTrainer(build_arena(counts, lengths, alphabet, end_of_word, threads), counts.counts());
}

// Runs the merge loop to the target. The loop checks for interrupts before
// every merge, so the progress is told from there.
void merge_to_target(MergeTrainer& trainer, std::uint64_t target, LearnedTables& learned,
                     const TrainingOptions& options) {
  const std::uint64_t initial_size = learned.table.size();
  const std::uint64_t wanted = std::max(target, initial_size) - initial_size;
  auto report_merges = [&] {
    if (options.observer) options.observer->merges_done(learned.table.size() - initial_size, wanted);
  };
  TrainingOptions merging = options;
  merging.check_interrupt = [&] {
    report_merges();
    check_for_interrupt(options.check_interrupt);
  };
  trainer.run(target, learned, merging);
  report_merges();
}

// Training up to the merge loop: everything it needs of the word counts.
struct TrainingStart {
  LearnedTables learned;
  MergeTrainer trainer;
};

// Gives the special tokens, the alphabet and the end-of-word marker their ids
// and builds the symbols of every distinct word. The time that counting took
// joins the timing reports it belongs to.
TrainingStart start_training(const WordCounts& counts, const Config& config, const TrainingOptions& options,
                             const CountingTimes& times) {
  LearnedTables learned;
  if (!config.special_tokens.empty()) {
    for (const std::string& token : config.special_tokens) learned.table.get_or_insert_id(token);
    report_phase(options, TrainingPhase::SpecialTokenRemoval, times.removal);
  }
  check_for_interrupt(options.check_interrupt);
  PhaseClock vocab_builder;
  MergeTrainer trainer = symbols_of(counts, learned.table, options.worker_threads);
  report_phase(options, TrainingPhase::VocabularyBuilding, times.counting + vocab_builder.elapsed());
  return {std::move(learned), std::move(trainer)};
}

// Counts the initial pairs and merges to the target. The statistics go with
// `start`, at the end of the caller's statement (parameters live that long).
LearnedTables merge(TrainingStart start, const Config& config, const TrainingOptions& options) {
  PhaseClock initial_pairs;
  check_for_interrupt(options.check_interrupt);
  start.trainer.count_initial_pairs(options.check_interrupt);
  report_phase(options, TrainingPhase::InitialPairs, initial_pairs.elapsed());
  merge_to_target(start.trainer, config.target_vocab_size, start.learned, options);
  return std::move(start.learned);
}

// Trains on everything the counter counted; the words go before the merge loop.
std::shared_ptr<const Model> train_counted(CorpusCounter& counter, const Config& config,
                                           const TrainingOptions& options) {
  TrainingStart start = [&] {
    const WordCounts counts = counter.finish();
    return start_training(counts, config, options, counter.times());
  }();
  LearnedTables learned = merge(std::move(start), config, options);
  return build_model(config, std::move(learned));
}

}  // namespace

std::shared_ptr<const Model> train_model(std::string_view text, const Config& config, const TrainingOptions& options) {
  CorpusCounter counter(corpus_settings_of(config), options);
  counter.count_text(text);
  return train_counted(counter, config, options);
}

std::shared_ptr<const Model> train_model_from_counts(const WordCounts& counts, const Config& config,
                                                     const TrainingOptions& options) {
  LearnedTables learned = merge(start_training(counts, config, options, CountingTimes{}), config, options);
  return build_model(config, std::move(learned));
}

Result<void> BpeTokenizer::train(const TrainingOptions& options) {
  if (trained()) return fail(TokenizerError::invalid_state("Cannot train a pretrained model"));
  CorpusCounter counter(corpus_settings_of(config()), options);
  if (expected<void, CorpusReadError> read = counter.count_file(input_path); !read) {
    const CorpusReadError& error = read.error();
    return fail(TokenizerError::unreadable_corpus(error.kind == CorpusReadError::Kind::System
                                                      ? os_error_text(error.error_number)
                                                      : "stream did not contain valid UTF-8"));
  }
  model = train_counted(counter, config(), options);

  if (!save_model) return {};
  if (!output_dir) return fail(TokenizerError::missing_output_directory());
  return save_model_files(*model, *output_dir);
}

}  // namespace wordloom
