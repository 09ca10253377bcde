#include "word_merger.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

namespace wordloom {
namespace {

// Words of up to this many symbols are merged by rescanning their steps.
constexpr std::size_t kScanLimit = 32;
constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Ranks as orders of 31 bits that compare alike: the ranks themselves when
// they are small enough, as they are in trained models, else their positions
// among the distinct ranks.
class RankOrders {
 public:
  explicit RankOrders(const PairMap<std::uint64_t>& ranks) {
    std::uint64_t largest = 0;
    for (const auto& entry : ranks) largest = std::max(largest, entry.second);
    if (largest < MergeStep::kUnranked) return;
    distinct_.reserve(ranks.size());
    for (const auto& entry : ranks) distinct_.push_back(entry.second);
    std::sort(distinct_.begin(), distinct_.end());
    distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
    if (distinct_.size() >= MergeStep::kUnranked) internal_failure("too many distinct merge ranks");
  }

  std::uint32_t operator()(std::uint64_t rank) const {
    if (distinct_.empty()) return static_cast<std::uint32_t>(rank);
    return static_cast<std::uint32_t>(std::lower_bound(distinct_.begin(), distinct_.end(), rank) - distinct_.begin());
  }

 private:
  std::vector<std::uint64_t> distinct_;  // sorted; empty when ranks serve as orders
};

}  // namespace

// ---- MergeTable ----

MergeTable::MergeTable(const PairMap<std::uint64_t>& save_ranks, const PairMap<TokenId>& pairs_to_merge) {
  std::size_t capacity = 16;
  while (capacity < 2 * save_ranks.size()) capacity *= 2;
  entries_.resize(capacity);
  mask_ = capacity - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  const RankOrders order_of(save_ranks);
  for (const auto& [pair, rank] : save_ranks) {
    MergeStep step;
    step.order = order_of(rank);
    if (auto result = pairs_to_merge.find(pair); result != pairs_to_merge.end()) {
      step.result = result->second;
      step.has_result = 1;
    }
    insert(pair, step);
  }
}

// `pair` must not be in the table yet.
void MergeTable::insert(TokenPair pair, MergeStep step) {
  std::size_t slot = slot_of(pair);
  while (entries_[slot].step.ranked()) slot = (slot + 1) & mask_;
  entries_[slot] = {pair, step};
  ++size_;
}

// ---- WordMerger ----

void WordMerger::merge(const MergeTable& table, std::vector<TokenId>& word) {
  if (word.size() < 2 || table.empty()) return;
  table_ = &table;
  if (word.size() <= kScanLimit) merge_by_scan(word);
  else merge_by_heap(word);
}

void WordMerger::merge_by_scan(std::vector<TokenId>& word) {
  std::size_t size = word.size();
  steps_.resize(size - 1);
  for (std::size_t i = 0; i + 1 < size; ++i) steps_[i] = table_->find({word[i], word[i + 1]});
  while (size >= 2) {
    const std::size_t best = best_position(size - 1);
    if (best == kNoPosition || !steps_[best].has_result) break;
    const TokenId left = word[best];
    const TokenId right = word[best + 1];
    const TokenId merged = steps_[best].result;
    // One pass from the first occurrence, compacting as it goes; a merged
    // symbol that forms the pair again with the next one merges again.
    changed_.clear();
    std::size_t out = best;
    for (std::size_t in = best; in < size;) {
      const std::size_t source = in;
      TokenId symbol = word[in++];
      bool merges = false;
      for (; symbol == left && in < size && word[in] == right; ++in) {
        symbol = merged;
        merges = true;
      }
      word[out] = symbol;
      if (merges) {
        if (out > 0) changed_.push_back(static_cast<std::uint32_t>(out - 1));
        changed_.push_back(static_cast<std::uint32_t>(out));
      } else if (source + 1 < size) {
        steps_[out] = steps_[source];  // still right unless the next symbol merged
      }
      ++out;
    }
    size = out;
    for (std::uint32_t i : changed_) {
      if (i + 1 < size) steps_[i] = table_->find({word[i], word[i + 1]});
    }
  }
  word.resize(size);
}

// The leftmost pair of the lowest rank, or kNoPosition when no pair is ranked.
std::size_t WordMerger::best_position(std::size_t pairs) const {
  std::size_t best = kNoPosition;
  std::uint32_t best_order = MergeStep::kUnranked;
  for (std::size_t i = 0; i < pairs; ++i) {
    if (steps_[i].order < best_order) {
      best_order = steps_[i].order;
      best = i;
    }
  }
  return best;
}

// ---- long words ----

void WordMerger::merge_by_heap(std::vector<TokenId>& word) {
  const auto size = static_cast<std::uint32_t>(word.size());
  symbols_.assign(word.begin(), word.end());
  next_.resize(size);
  prev_.resize(size);
  for (std::uint32_t i = 0; i < size; ++i) {
    prev_[i] = i == 0 ? kNone : i - 1;
    next_[i] = i + 1 == size ? kNone : i + 1;
  }
  heap_.clear();
  for (std::uint32_t i = 0; i + 1 < size; ++i) push_if_ranked(i);
  RankedPair best;
  while (pop_current(best) && best.step.has_result) merge_round(best);
  word.clear();
  for (std::uint32_t i = 0; i != kNone; i = next_[i]) word.push_back(symbols_[i]);
}

void WordMerger::push_if_ranked(std::uint32_t position) {
  const std::uint32_t after = next_[position];
  if (after == kNone) return;
  const TokenPair pair{symbols_[position], symbols_[after]};
  const MergeStep step = table_->find(pair);
  if (step.ranked()) push({step, position, pair});
}

void WordMerger::push(const RankedPair& entry) {
  heap_.push_back(entry);
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
}

WordMerger::RankedPair WordMerger::pop() {
  std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
  const RankedPair top = heap_.back();
  heap_.pop_back();
  return top;
}

bool WordMerger::holds(std::uint32_t position, TokenPair pair) const {
  if (symbols_[position] != pair.left) return false;
  const std::uint32_t after = next_[position];
  return after != kNone && symbols_[after] == pair.right;
}

// Takes the best entry that still describes an adjacent pair of the word.
bool WordMerger::pop_current(RankedPair& best) {
  while (!heap_.empty()) {
    best = pop();
    if (holds(best.position, best.pair)) return true;
  }
  return false;
}

// Merges every occurrence of best.pair that exists when the round starts,
// left to right; a merge whose result forms the pair again at the same place
// merges again there. Pairs formed by this round join the heap only
// afterwards, so the round never goes back to the left.
void WordMerger::merge_round(const RankedPair& best) {
  occurrences_.assign(1, best.position);
  deferred_.clear();
  while (!heap_.empty() && heap_.front().step.order == best.step.order) {
    const RankedPair entry = pop();
    if (entry.pair == best.pair) occurrences_.push_back(entry.position);
    else deferred_.push_back(entry);
  }
  formed_.clear();
  for (std::uint32_t position : occurrences_) {
    while (holds(position, best.pair)) merge_at(position, best.step.result);
  }
  for (const RankedPair& entry : deferred_) push(entry);
  for (std::uint32_t position : formed_) push_if_ranked(position);
}

void WordMerger::merge_at(std::uint32_t position, TokenId merged) {
  const std::uint32_t removed = next_[position];
  const std::uint32_t after = next_[removed];
  symbols_[position] = merged;
  next_[removed] = kNone;  // a removed symbol starts no pair
  next_[position] = after;
  if (after != kNone) prev_[after] = position;
  if (prev_[position] != kNone) formed_.push_back(prev_[position]);
  formed_.push_back(position);
}

}  // namespace wordloom
