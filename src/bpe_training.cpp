// Training: from a corpus file to the vocabulary and the learned merges.
//
// Words are counted once each (distinct words with counts, in order of first
// appearance), their symbols live as linked lists in one arena, and every
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

// One symbol of a distinct word. The symbols of every word lie side by side in
// one arena as a doubly linked list; a merge relinks the survivors, so arena
// positions never move. The fields of a symbol share one cache line, which is
// what a rewrite pays for.
struct Symbol {
  TokenId id;
  std::uint32_t prev;
  std::uint32_t next;  // kNone at a word's end and for a symbol merged into its left neighbour
  std::uint32_t word;  // index of the distinct word
};
// The symbols of all distinct words, left uninitialised until build_arena
// fills them, so that no thread spends time zeroing them first.
class SymbolArena {
 public:
  explicit SymbolArena(std::size_t size)
      : symbols_(std::make_unique_for_overwrite<Symbol[]>(size)), size_(size) {}

  Symbol& operator[](std::size_t p) { return symbols_[p]; }
  const Symbol& operator[](std::size_t p) const { return symbols_[p]; }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<Symbol[]> symbols_;
  std::size_t size_;
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
std::vector<IndexRange> word_ranges(const std::vector<std::size_t>& offsets, std::size_t count) {
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
  std::vector<std::size_t> offsets(lengths.size() + 1, 0);
  for (std::size_t w = 0; w < lengths.size(); ++w) offsets[w + 1] = offsets[w] + lengths[w];
  if (offsets.back() >= kNone) internal_failure("the corpus has too many distinct symbols to train on");
  SymbolArena arena(offsets.back());
  if (threads == 0) threads = default_worker_threads();
  const std::vector<IndexRange> parts =
      word_ranges(offsets, std::clamp<std::size_t>(arena.size() / kStepsPerThread, 1, threads));
  run_parts(parts.size(), threads, check_interrupt, [&](std::size_t part, InterruptCadence& cadence) {
    for (std::size_t w = parts[part].begin; w < parts[part].end; ++w) {
      const auto first = static_cast<std::uint32_t>(offsets[w]);
      const auto last = static_cast<std::uint32_t>(offsets[w + 1] - 1);
      std::uint32_t pos = first;
      for_each_char(counts.word(w), [&](std::string_view character) {
        cadence.step();
        arena[pos++].id = alphabet.id_of(character);
      });
      arena[last].id = end_of_word;
      for (std::uint32_t p = first; p <= last; ++p) {
        cadence.step();
        arena[p].prev = p == first ? kNone : p - 1;
        arena[p].next = p == last ? kNone : p + 1;
        arena[p].word = static_cast<std::uint32_t>(w);
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

// The arena positions where each pair was seen, as chains of small chunks in
// one pool: a list grows without copying, and the chunks of a consumed list
// go back to a free list for the lists that grow next.
class PositionLists {
 public:
  struct List {
    std::uint32_t head = kNone;
    std::uint32_t tail = kNone;
  };

  // A list of `count` positions, to be written with place(). Its chunks are
  // consecutive in the pool, so that reading it back walks memory in order.
  List sized(std::uint64_t count, const InterruptCheck& check_interrupt) {
    List list;
    InterruptCadence cadence(check_interrupt);
    for (std::uint64_t filled = 0; filled < count; filled += kChunkPositions) {
      cadence.step(kChunkPositions);
      const std::uint32_t fresh = new_chunk();
      chunk(fresh).size = static_cast<std::uint32_t>(std::min<std::uint64_t>(count - filled, kChunkPositions));
      if (list.head == kNone) list.head = fresh;
      else chunk(list.tail).next = fresh;
      list.tail = fresh;
    }
    return list;
  }

  // Writes the position at `index` of a list made by sized(). Threads may
  // place different indices at the same time.
  void place(const List& list, std::uint64_t index, std::uint32_t position) {
    chunk(static_cast<std::uint32_t>(list.head + index / kChunkPositions)).positions[index % kChunkPositions] =
        position;
  }

  void append(List& list, std::uint32_t position) {
    if (list.tail == kNone || chunk(list.tail).size == kChunkPositions) {
      const std::uint32_t fresh = allocate();
      if (list.tail == kNone) list.head = fresh;
      else chunk(list.tail).next = fresh;
      list.tail = fresh;
    }
    Chunk& tail = chunk(list.tail);
    tail.positions[tail.size++] = position;
  }

  // Appends the positions of `list` to `out` and frees its chunks.
  void take(List& list, std::vector<std::uint32_t>& out, const InterruptCheck& check_interrupt) {
    InterruptCadence cadence(check_interrupt);
    for (std::uint32_t index = list.head; index != kNone; index = chunk(index).next) {
      const Chunk& current = chunk(index);
      cadence.step(current.size);
      out.insert(out.end(), current.positions, current.positions + current.size);
    }
    if (list.head != kNone) {
      chunk(list.tail).next = free_;
      free_ = list.head;
    }
    list = {};
  }

 private:
  static constexpr std::uint32_t kChunkPositions = 6;
  struct alignas(32) Chunk {
    std::uint32_t next;  // in its list, or in the free list
    std::uint32_t size;
    std::uint32_t positions[kChunkPositions];
  };
  static constexpr unsigned kSegmentBits = 15;  // 1 MiB of chunks per segment; segments never move

  Chunk& chunk(std::uint32_t index) {
    return segments_[index >> kSegmentBits][index & ((1u << kSegmentBits) - 1)];
  }

  std::uint32_t allocate() {
    if (free_ == kNone) return new_chunk();
    const std::uint32_t index = free_;
    Chunk& reused = chunk(index);
    free_ = reused.next;
    reused.next = kNone;
    reused.size = 0;
    return index;
  }

  std::uint32_t new_chunk() {
    if (chunks_ == kNone) internal_failure("too many pair positions to train on");
    if ((chunks_ >> kSegmentBits) == segments_.size()) {
      segments_.push_back(std::make_unique_for_overwrite<Chunk[]>(std::size_t{1} << kSegmentBits));
    }
    Chunk& fresh = chunk(chunks_);
    fresh.next = kNone;
    fresh.size = 0;
    return chunks_++;
  }

  std::vector<std::unique_ptr<Chunk[]>> segments_;
  std::uint32_t chunks_ = 0;
  std::uint32_t free_ = kNone;
};

struct PairStats {
  std::uint64_t count = 0;
  PositionLists::List positions;  // arena positions where the pair was seen; may be stale
};

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
    }
    links_.clear();
    links_.reserve(2 * positions);  // growing while the rewrites run would copy them
  }

  void add(Side side, TokenId neighbour, std::uint64_t count, std::uint32_t position) {
    Neighbour& entry = neighbours_[side][neighbour];
    const auto link = static_cast<std::uint32_t>(links_.size());
    links_.push_back({position, kNone});
    if (entry.first == kNone) {
      touched_[side].push_back(neighbour);
      entry.first = link;
    } else {
      links_[entry.last].next = link;
    }
    entry.last = link;
    entry.count += count;
  }

  const std::vector<TokenId>& neighbours(Side side) const { return touched_[side]; }
  std::uint64_t moved_count(Side side, TokenId neighbour) const { return neighbours_[side][neighbour].count; }

  // The positions where the new pairs with `neighbour` start, ascending.
  template <typename Visit>
  void for_each_position(Side side, TokenId neighbour, Visit&& visit) const {
    for (std::uint32_t link = neighbours_[side][neighbour].first; link != kNone; link = links_[link].next) {
      visit(links_[link].position);
    }
  }

 private:
  struct Neighbour {
    std::uint64_t count = 0;
    std::uint32_t first = kNone;  // chain of positions in links_
    std::uint32_t last = kNone;
  };
  struct Link {
    std::uint32_t position;
    std::uint32_t next;
  };

  std::vector<Neighbour> neighbours_[2];  // by token id
  std::vector<TokenId> touched_[2];
  std::vector<Link> links_;
};

class MergeTrainer {
 public:
  MergeTrainer(SymbolArena arena, std::vector<std::uint64_t> word_counts, unsigned threads)
      : arena_(std::move(arena)),
        word_counts_(std::move(word_counts)),
        threads_(threads == 0 ? default_worker_threads() : threads),
        effects_(threads_) {}

  // Two passes over the arena, split between threads: the first counts, the
  // second writes each pair's positions side by side, the ranges' in order.
  void count_initial_pairs(const InterruptCheck& check_interrupt) {
    struct Seen {
      std::uint64_t count = 0;  // weighted by word counts
      std::uint64_t places = 0;
      std::uint64_t next = 0;  // index in the pair's list of this range's first place
      PositionLists::List list;
    };
    const std::size_t ranges = std::clamp<std::size_t>(arena_.size() / kStepsPerThread, 1, threads_);
    std::vector<PairMap<Seen>> seen(ranges);
    visit_initial_pairs(ranges, check_interrupt, [&](std::size_t range, TokenPair pair, std::uint32_t p) {
      Seen& entry = seen[range][pair];
      entry.count += word_counts_[arena_[p].word];
      ++entry.places;
    });

    PairMap<Seen> totals;
    for (const PairMap<Seen>& range_seen : seen) {
      for (const auto& [pair, entry] : range_seen) {
        Seen& total = totals[pair];
        total.count += entry.count;
        total.places += entry.places;
      }
    }
    std::vector<PairScore> scores;
    scores.reserve(totals.size());
    pairs_.reserve(totals.size());
    for (auto& [pair, total] : totals) {
      total.list = lists_.sized(total.places, check_interrupt);
      pairs_.emplace(pair, PairStats{total.count, total.list});
      scores.push_back({total.count, pair});
    }
    for (PairMap<Seen>& range_seen : seen) {
      for (auto& [pair, entry] : range_seen) {
        Seen& total = totals[pair];
        entry.list = total.list;
        entry.next = total.next;
        total.next += entry.places;
      }
    }

    visit_initial_pairs(ranges, check_interrupt, [&](std::size_t range, TokenPair pair, std::uint32_t p) {
      Seen& entry = seen[range].find(pair)->second;
      lists_.place(entry.list, entry.next++, p);
    });
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
      const std::string token = merged_token(learned.table, *best);
      check_for_interrupt(options.check_interrupt);  // a token can be as long as the longest word
      const TokenId merged = learned.table.get_or_insert_id(token);
      learned.merge_rules.push_back(*best);
      learned.merged_ids.push_back(merged);
      merge_everywhere(*best, merged, learned.table.size(), options.check_interrupt);
    }
  }

 private:
  static constexpr std::size_t kPrefetchDistance = 8;          // positions ahead, to hide memory latency

  // Calls visit(range, pair, p) for every adjacent pair of the arena, the
  // arena cut into `ranges` parts that run on threads of their own.
  template <typename Visit>
  void visit_initial_pairs(std::size_t ranges, const InterruptCheck& check_interrupt, Visit&& visit) const {
    run_parts(ranges, threads_, check_interrupt, [&](std::size_t range, InterruptCadence& cadence) {
      const std::size_t end = arena_.size() * (range + 1) / ranges;
      for (std::size_t p = arena_.size() * range / ranges; p < end; ++p) {
        cadence.step();
        const std::uint32_t q = arena_[p].next;
        if (q != kNone) visit(range, TokenPair{arena_[p].id, arena_[q].id}, static_cast<std::uint32_t>(p));
      }
    });
  }

  static std::string merged_token(const TokenTable& table, TokenPair pair) {
    const std::string* left = table.token_of(pair.left);
    if (left == nullptr) internal_failure("Token1 not found");
    const std::string* right = table.token_of(pair.right);
    if (right == nullptr) internal_failure("Token2 not found");
    return *left + *right;
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
      std::size_t cut = std::max(begin, positions_.size() * run / count);
      while (cut < positions_.size() && arena_[positions_[cut]].word == arena_[positions_[cut - 1]].word) ++cut;
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
    for (std::size_t i = run.begin; i < end; ++i) {
      cadence.step();
      // Positions lie far apart in the arena once the frequent pairs are
      // merged: fetch a symbol, and later its word's count, ahead of use.
      // (In a helper function, GCC drops the prefetches as dead code.)
      if (i + 2 * kPrefetchDistance < end) __builtin_prefetch(&arena_[positions_[i + 2 * kPrefetchDistance]]);
      if (i + kPrefetchDistance < end) {
        __builtin_prefetch(&word_counts_[arena_[positions_[i + kPrefetchDistance]].word]);
      }
      const std::uint32_t p = positions_[i];
      const std::uint32_t q = arena_[p].next;
      if (arena_[p].id == pair.left && q != kNone && arena_[q].id == pair.right) rewrite_at(p, merged, effects);
    }
  }

  void rewrite_at(std::uint32_t p, TokenId merged, RewriteEffects& effects) {
    Symbol& first = arena_[p];
    Symbol& second = arena_[first.next];
    const std::uint64_t count = word_counts_[first.word];
    if (first.prev != kNone) effects.add(RewriteEffects::kBefore, arena_[first.prev].id, count, first.prev);
    const std::uint32_t after = second.next;
    if (after != kNone) {
      effects.add(RewriteEffects::kAfter, arena_[after].id, count, p);
      arena_[after].prev = p;
    }
    first.id = merged;
    first.next = after;
    second.next = kNone;  // a removed symbol starts no pair
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
    for (const auto& [pair, delta] : deltas_) {
      if (pair == merged_pair) continue;
      PairStats* stats = delta != 0 ? &change_count(pair, delta) : find_stats(pair);
      if (stats != nullptr && (pair.left == merged || pair.right == merged)) {
        record_formed(runs, pair, merged, stats->positions, check_interrupt);
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
                     PositionLists::List& list, const InterruptCheck& check_interrupt) {
    using enum RewriteEffects::Side;
    InterruptCadence cadence(check_interrupt);
    auto append = [&](std::uint32_t position) {
      cadence.step();
      lists_.append(list, position);
    };
    for (const RewriteEffects& effects : runs) {
      if (pair.right == merged) effects.for_each_position(kBefore, pair.left, append);
      if (pair.left == merged) effects.for_each_position(kAfter, pair.right, append);
    }
  }

  SymbolArena arena_;
  std::vector<std::uint64_t> word_counts_;
  unsigned threads_;
  PairMap<PairStats> pairs_;
  PositionLists lists_;
  std::priority_queue<PairScore> queue_;
  std::vector<std::uint32_t> positions_;  // of the pair being merged
  std::vector<RewriteEffects> effects_;   // one per thread
  PairMap<std::int64_t> deltas_;
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
  return MergeTrainer(build_arena(counts, lengths, alphabet, end_of_word, options.worker_threads,
                                  options.check_interrupt),
                      counts.counts(), options.worker_threads);
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
