// Merge application on one word: the learned merges replayed by rank.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "interrupt_check.hpp"
#include "tokenizer_tables.hpp"

namespace wordloom {

// What one adjacent pair does when merging.
struct MergeStep {
  static constexpr std::uint32_t kUnranked = (1u << 31) - 1;

  // Orders compare as the ranks of save_ranks do; kUnranked marks a pair
  // without a rank, which is never merged.
  std::uint32_t order : 31 = kUnranked;
  std::uint32_t has_result : 1 = 0;  // a ranked pair without a result ends its word
  TokenId result = 0;

  bool ranked() const { return order != kUnranked; }
};

// save_ranks and pairs_to_merge joined by pair, for lookups by the merger:
// open addressing in one array, so that a lookup reads one place in memory.
// Built once (from the maps, or pair by pair by MergePairsBuilder), never
// changed afterwards; the tables come from a trusted model.
class MergeTable {
 public:
  // Empty, with room for `pairs` pairs: MergePairsBuilder fills it.
  explicit MergeTable(std::size_t pairs = 0);
  MergeTable(const PairMap<std::uint64_t>& save_ranks, const PairMap<TokenId>& pairs_to_merge);

  // The step of `pair`; unranked when save_ranks has no rank for it.
  MergeStep find(TokenPair pair) const { return entries_[slot_of(pair)].step; }
  bool empty() const { return size_ == 0; }

 private:
  friend class MergePairs;
  friend class MergePairsBuilder;

  struct Entry {
    TokenPair pair;
    MergeStep step;  // unranked in an empty slot
  };

  // The slot that holds `pair`, or else the empty slot where it belongs.
  std::size_t slot_of(TokenPair pair) const {
    std::uint64_t key = (static_cast<std::uint64_t>(pair.left) << 32 | pair.right) * 0x9E3779B97F4A7C15ULL;
    key ^= key >> 29;
    for (auto slot = static_cast<std::size_t>(key * 0xBF58476D1CE4E5B9ULL >> shift_);; slot = (slot + 1) & mask_) {
      const Entry& entry = entries_[slot];
      if (!entry.step.ranked() || entry.pair == pair) return slot;
    }
  }

  // Whether one more pair keeps the table at most half full.
  bool has_room() const { return 2 * (size_ + 1) <= entries_.size(); }

  std::vector<Entry> entries_;  // at most half full
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

// Merges words by rank: each round takes the best-ranked pair present
// (leftmost on equal ranks), stops the word when that pair has no merge
// result, and otherwise merges all of its occurrences in one left-to-right
// pass. Keeps its working memory from word to word; one per thread.
class WordMerger {
 public:
  // Long words check for an interrupt every so often.
  void merge(const MergeTable& table, std::vector<TokenId>& word, const InterruptCheck& check_interrupt = {});

 private:
  // Short words: the steps kept beside the symbols and rescanned each
  // round, which beats a heap until the rescans add up.
  void merge_by_scan(std::vector<TokenId>& word);
  std::size_t best_position(std::size_t pairs) const;

  // Long words: the ranked pairs in a heap, keyed by order and position, and
  // the symbols in a linked list, so that a word costs O(n log n) rather
  // than a rescan per round.
  void merge_by_heap(std::vector<TokenId>& word);
  void rank(std::uint32_t position);
  void push(std::uint64_t key);
  std::uint64_t pop();
  bool is_current(std::uint64_t key) const;
  TokenPair pair_at(std::uint32_t position) const;
  bool holds(std::uint32_t position, TokenPair pair) const;
  bool pop_current(std::uint32_t& position);
  void merge_round(std::uint32_t first);
  void merge_at(std::uint32_t position, TokenId merged);

  const MergeTable* table_ = nullptr;

  // The step of the pair starting at each position (unranked for none).
  std::vector<MergeStep> steps_;

  // merge_by_scan
  std::vector<std::uint32_t> changed_;  // positions whose pair changed in the round

  // merge_by_heap
  std::vector<TokenId> symbols_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> prev_;
  std::vector<std::uint64_t> heap_;  // a min-heap (std::greater) of order << 32 | position
  std::vector<std::uint32_t> occurrences_;
  std::vector<std::uint64_t> deferred_;
  std::vector<std::uint32_t> formed_;
  std::optional<InterruptCadence> cadence_;
};

}  // namespace wordloom
