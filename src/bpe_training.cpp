// Training: from a corpus file to the vocabulary and the learned merges.
//
// Words are counted once each (distinct words with counts, in order of first
// appearance), their symbols live side by side in one arena, and every
// adjacent pair keeps an exact count weighted by word counts together with
// the arena positions where it was seen. A merge visits only the positions of
// the selected pair and applies the count changes as exact deltas, so counts
// always equal the number of adjacent occurrences in the current words.
#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <queue>
#include <span>

#include "bpe_tokenizer.hpp"
#include "corpus_counting.hpp"
#include "elapsed_time.hpp"
#include "huge_pages.hpp"
#include "position_lists.hpp"
#include "utf8.hpp"
#include "worker_pool.hpp"

namespace wordloom {
namespace {

// ---- Work split between threads ----

constexpr std::size_t kStepsPerThread = 1 << 14;  // below this a thread costs more than it saves

struct IndexRange {
  std::size_t begin;
  std::size_t end;
};

// Moves the range with the most work to the front, for run_parts.
template <typename Work>
void put_largest_first(std::vector<IndexRange>& ranges, Work&& work) {
  auto less_work = [&](const IndexRange& a, const IndexRange& b) { return work(a) < work(b); };
  std::iter_swap(ranges.begin(), std::max_element(ranges.begin(), ranges.end(), less_work));
}

// Calls work(part, cadence) for the parts [0, count) on up to `threads`
// threads, part 0 on the calling thread. Only the calling thread runs the
// interrupt check; once that has thrown, the other threads stop at their next
// check. So give part 0 the most work: then the calling thread never waits
// long without checking.
template <typename Work>
void run_parts(std::size_t count, unsigned threads, const InterruptCheck& check_interrupt, Work&& work) {
  struct Abandoned {};  // never reaches the caller: the calling thread's exception comes first
  std::atomic<bool> abandoned = false;
  const InterruptCheck on_calling_thread = [&] {
    try {
      check_for_interrupt(check_interrupt);
    } catch (...) {
      abandoned = true;
      throw;
    }
  };
  const InterruptCheck on_other_threads = [&] {
    if (abandoned) throw Abandoned{};
  };
  fork_join_blocks(count, threads, 1, [&](std::size_t first, std::size_t end) {
    InterruptCadence cadence(first == 0 ? on_calling_thread : on_other_threads);
    for (std::size_t part = first; part < end; ++part) work(part, cadence);
  });
}

// ---- Symbols of the distinct words ----

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// The arena keeps one slot of 4 bytes per character of every distinct word
// (end-of-word marker included): on large corpora it is most of training's
// memory. A merge leaves the slots where they are: the merged symbol starts
// at its left part's slot and covers the slots up to the next symbol. So the
// links between symbols need no slots of their own: they are found from the
// covered slots next to a symbol, which are written on every merge.
//
// A symbol's slot holds its id, flagged at a word's first slot. A covered
// slot holds a distance: the one right after a symbol's own slot the distance
// from there to the symbol's end (the position just past it), the symbol's
// last slot the distance back to the symbol's start. In a symbol of two slots
// the one covered slot holds 1, the distance back, which tells it apart: the
// distance on to an end is at least 2. Word counts are kept by word.
constexpr std::uint32_t kCoveredSlot = std::uint32_t{1} << 31;
constexpr std::uint32_t kWordStart = std::uint32_t{1} << 30;
constexpr TokenId kLargestId = kWordStart - 1;
constexpr std::uint32_t kLongestWord = kCoveredSlot - 1;  // so that any distance in a word fits a slot

// Where every word starts in the arena and how often it occurs. The word
// of a position is found from the word of its block's first slot, so that a
// lookup reads a line of the small block table and one or two lines of words.
class ArenaWords {
 public:
  // `starts` holds the first position of every word and then the arena's size.
  ArenaWords(const std::vector<std::uint32_t>& starts, const WordCounts& counts) {
    words_.reserve(starts.size());
    for (std::size_t w = 0; w < counts.size(); ++w) {
      const std::uint64_t count = counts.count(w);
      if (count >= kLargeCount) large_counts_.emplace(w, count);
      words_.push_back({starts[w], static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kLargeCount))});
    }
    words_.push_back({starts.back(), 0});
    // Only blocks that start inside the arena: each has a word holding its first slot.
    block_words_.resize((std::size_t{starts.back()} + kBlockSize - 1) >> kBlockBits);
    std::size_t w = 0;
    for (std::size_t block = 0; block < block_words_.size(); ++block) {
      while (words_[w + 1].start <= block << kBlockBits) ++w;
      block_words_[block] = static_cast<std::uint32_t>(w);
    }
  }

  std::size_t size() const { return words_.size() - 1; }
  std::uint32_t start(std::size_t w) const { return words_[w].start; }
  std::uint32_t end(std::size_t w) const { return words_[w + 1].start; }
  std::uint32_t arena_size() const { return words_.back().start; }

  // The word of any position of the arena.
  std::size_t word_of(std::uint32_t p) const {
    std::size_t w = block_words_[p >> kBlockBits];
    while (words_[w + 1].start <= p) ++w;
    return w;
  }
  // Prefetches in two steps what word_of(p) and count() read: the block's
  // word first, then, some time later, the words it leads to.
  void prefetch_block(std::uint32_t p) const { __builtin_prefetch(&block_words_[p >> kBlockBits]); }
  void prefetch_words(std::uint32_t p) const { __builtin_prefetch(&words_[block_words_[p >> kBlockBits]]); }

  std::uint64_t count(std::size_t w) const {
    const std::uint32_t count = words_[w].count;
    return count != kLargeCount ? count : large_counts_.find(static_cast<std::uint32_t>(w))->second;
  }

 private:
  static constexpr unsigned kBlockBits = 6;
  static constexpr std::size_t kBlockSize = std::size_t{1} << kBlockBits;
  static constexpr std::uint32_t kLargeCount = std::numeric_limits<std::uint32_t>::max();  // look it up by word

  struct Word {
    std::uint32_t start;
    std::uint32_t count;  // or kLargeCount
  };
  std::vector<Word> words_;                  // and the arena's size after the last
  std::vector<std::uint32_t> block_words_;  // the word of each block's first slot
  boost::unordered_flat_map<std::uint32_t, std::uint64_t> large_counts_;
};

// The slots of all distinct words, left uninitialised until build_arena
// fills them, so that no thread spends time zeroing them first.
class SymbolArena {
 public:
  explicit SymbolArena(ArenaWords words)
      : slots_(make_huge_page_array_for_overwrite<std::uint32_t>(words.arena_size())), words_(std::move(words)) {}

  std::uint32_t size() const { return words_.arena_size(); }
  const ArenaWords& words() const { return words_; }

  // Writes the symbol `id` to the free slot `p`.
  void place(std::uint32_t p, TokenId id, bool word_start) { slots_[p] = id | (word_start ? kWordStart : 0); }

  // The id of the symbol at `p`, or kNone where `p` is covered.
  TokenId id(std::uint32_t p) const {
    const std::uint32_t slot = slots_[p];
    return (slot & kCoveredSlot) != 0 ? kNone : slot & kLargestId;
  }

  // The symbol after the one at `p` in its word, or kNone.
  std::uint32_t next(std::uint32_t p) const {
    const std::uint32_t end = end_of(p);
    return end == size() || (slots_[end] & kWordStart) != 0 ? kNone : end;
  }

  // The symbol before the one at `p` in its word, or kNone.
  std::uint32_t prev(std::uint32_t p) const {
    if ((slots_[p] & kWordStart) != 0) return kNone;
    const std::uint32_t last = slots_[p - 1];
    return (last & kCoveredSlot) != 0 ? p - 1 - (last & ~kCoveredSlot) : p - 1;
  }

  // Makes the symbols at `p` and the next one `q` one symbol `merged` at `p`.
  void join(std::uint32_t p, std::uint32_t q, TokenId merged) {
    const std::uint32_t end = end_of(q);
    slots_[p] = merged | (slots_[p] & kWordStart);
    slots_[q] = kCoveredSlot;
    if (end - p == 2) {
      slots_[p + 1] = kCoveredSlot | 1;
    } else {
      slots_[p + 1] = kCoveredSlot | (end - p - 1);
      slots_[end - 1] = kCoveredSlot | (end - 1 - p);
    }
  }

  // Prefetches the slot at `p`.
  void prefetch(std::uint32_t p) const { __builtin_prefetch(&slots_[p]); }

 private:
  std::uint32_t end_of(std::uint32_t p) const {
    const std::uint32_t after = p + 1;
    if (after == size() || (slots_[after] & kCoveredSlot) == 0) return after;
    const std::uint32_t distance = slots_[after] & ~kCoveredSlot;
    return distance == 1 ? p + 2 : after + distance;
  }

  HugePageArray<std::uint32_t> slots_;
  ArenaWords words_;
};

// Gives every character its one-character token, in order of first
// appearance, and returns each word's length in symbols (end-of-word included).
class Alphabet {
 public:
  Alphabet() { std::fill(std::begin(ascii_), std::end(ascii_), kNone); }

  std::vector<std::uint32_t> assign_ids(const WordCounts& counts, TokenTable& table,
                                        const InterruptCheck& check_interrupt) {
    std::vector<std::uint32_t> lengths;
    lengths.reserve(counts.size());
    InterruptCadence cadence(check_interrupt);
    for (std::size_t w = 0; w < counts.size(); ++w) {
      std::uint32_t length = 1;
      for_each_char(counts.word(w), [&](std::string_view character) {
        cadence.step();
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

// Word ranges with about equal shares of the symbols, the largest first.
std::vector<IndexRange> word_ranges(const std::vector<std::uint32_t>& offsets, std::size_t count) {
  const auto word_starts = std::span(offsets).first(offsets.size() - 1);
  std::vector<IndexRange> ranges;
  std::size_t begin = 0;
  for (std::size_t part = 1; part <= count; ++part) {
    const auto end = static_cast<std::size_t>(
        std::lower_bound(word_starts.begin(), word_starts.end(), offsets.back() * part / count) - word_starts.begin());
    ranges.push_back({begin, end});
    begin = end;
  }
  put_largest_first(ranges,
                    [&](const IndexRange& words) { return offsets[words.end] - offsets[words.begin]; });
  return ranges;
}

SymbolArena build_arena(const WordCounts& counts, const std::vector<std::uint32_t>& lengths,
                        const Alphabet& alphabet, TokenId end_of_word, unsigned threads,
                        const InterruptCheck& check_interrupt) {
  std::vector<std::uint32_t> offsets(lengths.size() + 1, 0);
  std::uint64_t symbols = 0;
  for (std::size_t w = 0; w < lengths.size(); ++w) {
    if (lengths[w] > kLongestWord) internal_failure("a word of the corpus is too long to train on");
    symbols += lengths[w];
    if (symbols >= kNone) internal_failure("the corpus has too many distinct symbols to train on");
    offsets[w + 1] = static_cast<std::uint32_t>(symbols);
  }
  SymbolArena arena(ArenaWords(offsets, counts));
  if (threads == 0) threads = default_worker_threads();
  const std::vector<IndexRange> parts =
      word_ranges(offsets, std::clamp<std::size_t>(arena.size() / kStepsPerThread, 1, threads));
  run_parts(parts.size(), threads, check_interrupt, [&](std::size_t part, InterruptCadence& cadence) {
    for (std::size_t w = parts[part].begin; w < parts[part].end; ++w) {
      const std::uint32_t first = offsets[w];
      std::uint32_t pos = first;
      for_each_char(counts.word(w), [&](std::string_view character) {
        cadence.step();
        arena.place(pos, alphabet.id_of(character), pos == first);
        ++pos;
      });
      arena.place(pos, end_of_word, pos == first);
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
  PositionLists::List positions;  // arena positions where the pair was seen; may be stale
};

// The pair tables of training, large and read at random.
template <typename V>
using TrainingPairMap = boost::unordered_flat_map<TokenPair, V, TokenPairHash, std::equal_to<TokenPair>,
                                                  HugePageAllocator<std::pair<const TokenPair, V>>>;
using PairScores = std::vector<PairScore, HugePageAllocator<PairScore>>;

// What the rewrites of one run of positions change, gathered by neighbour
// symbol, so that a rewrite costs two array updates. Rewriting (left, right)
// into `merged` after a symbol n moves the word's count from (n, left) to
// (n, merged), which starts at n's position; before a symbol n, from
// (right, n) to (merged, n), which starts at the rewritten position.
class RewriteEffects {
 public:
  enum Side { kBefore = 0, kAfter = 1 };  // where the neighbour stands

  // Forgets the last run, for a run of `positions` rewrites at most, whose
  // neighbours have ids below `table_size`.
  void reset(std::size_t positions, std::size_t table_size) {
    for (Side side : {kBefore, kAfter}) {
      for (TokenId id : touched_[side]) neighbours_[side][id] = {};
      touched_[side].clear();
      if (neighbours_[side].size() < table_size) neighbours_[side].resize(table_size);
      formed_[side].clear();
      formed_[side].reserve(positions);  // growing while the rewrites run would copy them
    }
  }

  void add(Side side, TokenId neighbour, std::uint64_t count, std::uint32_t position) {
    Neighbour& entry = neighbours_[side][neighbour];
    if (entry.places++ == 0) touched_[side].push_back(neighbour);
    entry.count += count;
    formed_[side].push_back({neighbour, position});
  }

  // Lays the positions out by neighbour, each neighbour's in the order they
  // were added, so that reading them back walks memory in order. Called once
  // the run is done, on the run's thread.
  void group_by_neighbour(InterruptCadence& cadence) {
    for (Side side : {kBefore, kAfter}) {
      std::uint32_t end = 0;
      for (TokenId id : touched_[side]) {
        neighbours_[side][id].end = end;
        end += neighbours_[side][id].places;
      }
      if (grouped_capacity_[side] < formed_[side].size()) {
        grouped_capacity_[side] = formed_[side].size();
        grouped_[side] = std::make_unique_for_overwrite<std::uint32_t[]>(grouped_capacity_[side]);
      }
      for (const Formed& formed : formed_[side]) {
        cadence.step();
        grouped_[side][neighbours_[side][formed.neighbour].end++] = formed.position;
      }
    }
  }

  const std::vector<TokenId>& neighbours(Side side) const { return touched_[side]; }
  std::uint64_t moved_count(Side side, TokenId neighbour) const { return neighbours_[side][neighbour].count; }

  // The positions where the new pairs with `neighbour` start, ascending.
  std::span<const std::uint32_t> positions(Side side, TokenId neighbour) const {
    const Neighbour& entry = neighbours_[side][neighbour];
    return {grouped_[side].get() + entry.end - entry.places, entry.places};
  }

 private:
  struct Neighbour {
    std::uint64_t count = 0;
    std::uint32_t places = 0;
    std::uint32_t end = 0;  // of its positions in grouped_
  };
  struct Formed {
    TokenId neighbour;
    std::uint32_t position;
  };

  std::vector<Neighbour> neighbours_[2];  // by token id
  std::vector<TokenId> touched_[2];
  std::vector<Formed> formed_[2];  // in the order of the rewrites
  std::unique_ptr<std::uint32_t[]> grouped_[2];  // by neighbour; not zeroed, as a run fills what it reads
  std::size_t grouped_capacity_[2] = {};
};

class MergeTrainer {
 public:
  MergeTrainer(SymbolArena arena, unsigned threads)
      : arena_(std::move(arena)),
        threads_(threads == 0 ? default_worker_threads() : threads),
        effects_(threads_) {}

  // Two passes over the arena, split between threads: the first counts and
  // sizes the lists, the second writes each pair's positions side by side,
  // the ranges' in order.
  void count_initial_pairs(const InterruptCheck& check_interrupt) {
    struct Seen {
      std::uint64_t count = 0;  // weighted by word counts
      std::uint64_t bytes = 0;  // of the distances after the range's first place
      std::uint64_t places = 0;
      std::uint32_t first = 0;
      std::uint32_t last = 0;   // place, then in the second pass the last one written
      std::uint64_t offset = 0;  // where the range's distances start in the pair's list
      PositionLists::List list;
    };
    const std::size_t ranges = std::clamp<std::size_t>(arena_.size() / kStepsPerThread, 1, threads_);
    std::vector<TrainingPairMap<Seen>> seen(ranges);
    visit_initial_pairs(ranges, check_interrupt, [&](std::size_t range, TokenPair pair, std::uint32_t p,
                                                     std::uint64_t word_count) {
      Seen& entry = seen[range][pair];
      entry.count += word_count;
      if (entry.places++ == 0) entry.first = p;
      else entry.bytes += PositionLists::encoded_size(entry.last, p);
      entry.last = p;
    });

    InterruptCadence cadence(check_interrupt);
    TrainingPairMap<Seen> totals;
    for (TrainingPairMap<Seen>& range_seen : seen) {
      for (auto& [pair, entry] : range_seen) {
        cadence.step();
        Seen& total = totals[pair];
        const std::uint32_t before = total.places == 0 ? 0 : total.last;
        entry.offset = total.bytes;
        total.count += entry.count;
        total.bytes += PositionLists::encoded_size(before, entry.first) + entry.bytes;
        total.places += entry.places;
        total.last = entry.last;
        entry.last = before;
      }
    }
    PairScores scores;
    scores.reserve(totals.size());
    pairs_.reserve(totals.size());
    for (auto& [pair, total] : totals) {
      total.list = lists_.sized(total.bytes, total.last, cadence);
      pairs_.emplace(pair, PairStats{total.count, total.list});
      scores.push_back({total.count, pair});
    }
    for (TrainingPairMap<Seen>& range_seen : seen) {
      for (auto& [pair, entry] : range_seen) {
        cadence.step();
        entry.list = totals.find(pair)->second.list;
      }
    }

    visit_initial_pairs(ranges, check_interrupt, [&](std::size_t range, TokenPair pair, std::uint32_t p,
                                                     std::uint64_t) {
      Seen& entry = seen[range].find(pair)->second;
      entry.offset = lists_.place(entry.list, entry.offset, entry.last, p);
      entry.last = p;
    });
    queue_ = std::priority_queue<PairScore, PairScores>(std::less<PairScore>(), std::move(scores));
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
      // A token can be as long as the longest word: check after each step with it.
      const std::string token = merged_token(learned.table, *best);
      check_for_interrupt(options.check_interrupt);
      const TokenId merged = learned.table.get_or_insert_id(token);
      if (merged > kLargestId) internal_failure("too many tokens to train on");
      check_for_interrupt(options.check_interrupt);
      learned.merge_rules.push_back(*best);
      learned.merged_ids.push_back(merged);
      merge_everywhere(*best, merged, learned.table.size(), options.check_interrupt);
    }
  }

 private:
  static constexpr std::size_t kPrefetchDistance = 16;  // positions ahead, to hide memory latency

  // Calls visit(range, pair, p, word count) for every adjacent pair of the
  // arena, which no merge has touched yet, the arena cut into `ranges` parts
  // that run on threads of their own.
  template <typename Visit>
  void visit_initial_pairs(std::size_t ranges, const InterruptCheck& check_interrupt, Visit&& visit) const {
    const ArenaWords& words = arena_.words();
    run_parts(ranges, threads_, check_interrupt, [&](std::size_t range, InterruptCadence& cadence) {
      const auto begin = static_cast<std::uint32_t>(arena_.size() * range / ranges);
      const auto end = static_cast<std::uint32_t>(arena_.size() * (range + 1) / ranges);
      if (begin == end) return;
      for (std::size_t w = words.word_of(begin); w < words.size() && words.start(w) < end; ++w) {
        const std::uint32_t last = std::min(words.end(w) - 1, end);
        for (std::uint32_t p = std::max(words.start(w), begin); p < last; ++p) {
          cadence.step();
          visit(range, TokenPair{arena_.id(p), arena_.id(p + 1)}, p, words.count(w));
        }
      }
    });
  }

  static std::string merged_token(const TokenTable& table, TokenPair pair) {
    const std::string* left = table.token_of(pair.left);
    if (left == nullptr) internal_failure("Token1 not found");
    const std::string* right = table.token_of(pair.right);
    if (right == nullptr) internal_failure("Token2 not found");
    std::string token;
    token.reserve(left->size() + right->size());
    return token.append(*left).append(*right);
  }

  // The pair with the greatest (count, left, right). Every pair in the map has
  // an entry at least as high as its count: a rise pushes the new count, and
  // an entry whose count has fallen since is pushed again with the current
  // count when it reaches the top. So the first entry that matches its pair's
  // count is the best; an entry below its pair's count is outranked by a newer
  // one and dropped. A pair whose count fell to 0 stays selectable.
  std::optional<TokenPair> pop_best_pair() {
    while (!queue_.empty()) {
      const PairScore top = queue_.top();
      queue_.pop();
      auto found = pairs_.find(top.pair);
      if (found == pairs_.end() || found->second.count > top.count) continue;
      if (found->second.count == top.count) return top.pair;
      queue_.push({found->second.count, top.pair});
    }
    return std::nullopt;
  }

  // Rewrites every occurrence of `pair`, word by word left to right without
  // overlap, and applies the exact count changes. Big merges are split
  // between threads by words.
  void merge_everywhere(TokenPair pair, TokenId merged, std::size_t table_size,
                        const InterruptCheck& check_interrupt) {
    auto found = pairs_.find(pair);
    if (found == pairs_.end()) return;
    positions_.clear();
    lists_.take(found->second.positions, positions_, check_interrupt);
    pairs_.erase(found);
    // Each list is made of ascending runs, a few per merge that added to it,
    // so it is often sorted already. A position listed twice is skipped the
    // second time: its symbol no longer holds the pair's left id.
    if (!std::is_sorted(positions_.begin(), positions_.end())) std::sort(positions_.begin(), positions_.end());

    const std::vector<IndexRange> runs = cut_runs();
    run_parts(runs.size(), threads_, check_interrupt, [&](std::size_t run, InterruptCadence& cadence) {
      effects_[run].reset(runs[run].end - runs[run].begin, table_size);
      rewrite_run(runs[run], pair, merged, effects_[run], cadence);
      effects_[run].group_by_neighbour(cadence);
    });
    apply_effects(std::span(effects_).first(runs.size()), pair, merged, check_interrupt);
  }

  // Cuts the sorted positions into runs of about equal size, one per thread
  // when there are enough, never inside a word: rewrites in one word depend
  // on each other, rewrites in different words never do.
  std::vector<IndexRange> cut_runs() const {
    const std::size_t count = std::clamp<std::size_t>(positions_.size() / kStepsPerThread, 1, threads_);
    std::vector<IndexRange> runs;
    std::size_t begin = 0;
    for (std::size_t run = 1; run < count; ++run) {
      // The even share, moved on to the end of the word it falls into.
      const std::size_t share = std::max(begin, positions_.size() * run / count);
      const std::size_t word_end = arena_.words().end(arena_.words().word_of(positions_[share - 1]));
      const auto cut = static_cast<std::size_t>(
          std::lower_bound(positions_.begin() + share, positions_.end(), word_end) - positions_.begin());
      if (cut == positions_.size()) break;  // the last words hold the rest
      runs.push_back({begin, cut});
      begin = cut;
    }
    runs.push_back({begin, positions_.size()});
    put_largest_first(runs, [](const IndexRange& run) { return run.end - run.begin; });
    return runs;
  }

  void rewrite_run(IndexRange run, TokenPair pair, TokenId merged, RewriteEffects& effects,
                   InterruptCadence& cadence) {
    const std::size_t end = run.end;
    const ArenaWords& words = arena_.words();
    for (std::size_t i = run.begin; i < end; ++i) {
      cadence.step();
      // Positions lie far apart in the arena once the frequent pairs are
      // merged: fetch a symbol ahead of use.
      if (i + 2 * kPrefetchDistance < end) words.prefetch_block(positions_[i + 2 * kPrefetchDistance]);
      if (i + kPrefetchDistance < end) {
        arena_.prefetch(positions_[i + kPrefetchDistance]);
        words.prefetch_words(positions_[i + kPrefetchDistance]);
      }
      // A stale position may lie inside a merged symbol: its slot is covered.
      const std::uint32_t p = positions_[i];
      if (arena_.id(p) != pair.left) continue;
      const std::uint32_t q = arena_.next(p);
      if (q != kNone && arena_.id(q) == pair.right) rewrite_at(p, q, merged, words.count(words.word_of(p)), effects);
    }
  }

  void rewrite_at(std::uint32_t p, std::uint32_t q, TokenId merged, std::uint64_t count, RewriteEffects& effects) {
    const std::uint32_t before = arena_.prev(p);
    if (before != kNone) effects.add(RewriteEffects::kBefore, arena_.id(before), count, before);
    const std::uint32_t after = arena_.next(q);
    if (after != kNone) effects.add(RewriteEffects::kAfter, arena_.id(after), count, p);
    arena_.join(p, q, merged);
  }

  // Counts change by the sum over all runs, so a pair that was only formed
  // and broken again within this merge nets to zero and never enters the
  // statistics.
  void apply_effects(std::span<const RewriteEffects> runs, TokenPair merged_pair, TokenId merged,
                     const InterruptCheck& check_interrupt) {
    using enum RewriteEffects::Side;
    deltas_.clear();
    for (const RewriteEffects& effects : runs) {
      for (TokenId n : effects.neighbours(kBefore)) {
        const auto moved = static_cast<std::int64_t>(effects.moved_count(kBefore, n));
        deltas_[{n, merged_pair.left}] -= moved;
        deltas_[{n, merged}] += moved;
      }
      for (TokenId n : effects.neighbours(kAfter)) {
        const auto moved = static_cast<std::int64_t>(effects.moved_count(kAfter, n));
        deltas_[{merged_pair.right, n}] -= moved;
        deltas_[{merged, n}] += moved;
      }
    }
    InterruptCadence cadence(check_interrupt);
    for (const auto& [pair, delta] : deltas_) {
      cadence.step();
      if (pair == merged_pair) continue;
      PairStats* stats = delta != 0 ? &change_count(pair, delta) : find_stats(pair);
      if (stats != nullptr && (pair.left == merged || pair.right == merged)) {
        record_formed(runs, pair, merged, stats->positions, cadence);
      }
    }
  }

  PairStats& change_count(TokenPair pair, std::int64_t delta) {
    auto [slot, inserted] = pairs_.try_emplace(pair);
    if (inserted && delta < 0) internal_failure("a pair count would fall below zero");
    slot->second.count = static_cast<std::uint64_t>(static_cast<std::int64_t>(slot->second.count) + delta);
    if (delta > 0) queue_.push({slot->second.count, pair});
    return slot->second;
  }

  PairStats* find_stats(TokenPair pair) {
    auto slot = pairs_.find(pair);
    return slot == pairs_.end() ? nullptr : &slot->second;
  }

  // (n, merged) starts where the neighbour n before a rewrite stands,
  // (merged, n) where the rewrite is; (merged, merged) both.
  void record_formed(std::span<const RewriteEffects> runs, TokenPair pair, TokenId merged,
                     PositionLists::List& list, InterruptCadence& cadence) {
    using enum RewriteEffects::Side;
    auto append = [&](std::span<const std::uint32_t> positions) {
      cadence.step(positions.size());
      lists_.append(list, positions);
    };
    for (const RewriteEffects& effects : runs) {
      if (pair.right == merged) append(effects.positions(kBefore, pair.left));
      if (pair.left == merged) append(effects.positions(kAfter, pair.right));
    }
  }

  SymbolArena arena_;
  unsigned threads_;
  TrainingPairMap<PairStats> pairs_;
  PositionLists lists_;
  std::priority_queue<PairScore, PairScores> queue_;
  std::vector<std::uint32_t> positions_;  // of the pair being merged
  std::vector<RewriteEffects> effects_;   // one per thread
  TrainingPairMap<std::int64_t> deltas_;
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
MergeTrainer symbols_of(const WordCounts& counts, TokenTable& table, const TrainingOptions& options) {
  Alphabet alphabet;
  const std::vector<std::uint32_t> lengths = alphabet.assign_ids(counts, table, options.check_interrupt);
  const TokenId end_of_word = table.get_or_insert_id(kEndOfWord);
  if (table.size() > kLargestId) internal_failure("too many tokens to train on");
  return MergeTrainer(build_arena(counts, lengths, alphabet, end_of_word, options.worker_threads,
                                  options.check_interrupt),
                      options.worker_threads);
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
  MergeTrainer trainer = symbols_of(counts, learned.table, options);
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
