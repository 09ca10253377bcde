#include "word_merger.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

namespace wordloom {
namespace {

// Words of up to this many symbols are merged by rescanning their steps.
constexpr std::size_t kScanLimit = 64;
constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// Ranks as orders of 31 bits that compare alike, for ranks too large to
// serve as orders themselves: their positions among the distinct ranks.
class RankOrders {
 public:
  explicit RankOrders(const PairMap<std::uint64_t>& ranks) {
    distinct_.reserve(ranks.size());
    for (const auto& entry : ranks) distinct_.push_back(entry.second);
    std::sort(distinct_.begin(), distinct_.end());
    distinct_.erase(std::unique(distinct_.begin(), distinct_.end()), distinct_.end());
    if (distinct_.size() >= MergeStep::kUnranked) internal_failure("too many distinct merge ranks");
  }

  std::uint32_t operator()(std::uint64_t rank) const {
    return static_cast<std::uint32_t>(std::lower_bound(distinct_.begin(), distinct_.end(), rank) - distinct_.begin());
  }

 private:
  std::vector<std::uint64_t> distinct_;  // sorted
};

}  // namespace

// ---- MergeTable ----

MergeTable::MergeTable(std::size_t pairs) {
  std::size_t capacity = 16;
  while (capacity < 2 * pairs) capacity *= 2;
  entries_.resize(capacity);
  mask_ = capacity - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
}

MergeTable::MergeTable(const PairMap<std::uint64_t>& save_ranks, const PairMap<TokenId>& pairs_to_merge)
    : MergeTable(save_ranks.size()) {
  // Trained models rank by position, so ranks nearly always serve as orders.
  bool ranks_fit = true;
  for (const auto& [pair, rank] : save_ranks) {
    Entry& entry = entries_[slot_of(pair)];
    entry.pair = pair;
    entry.step.order = rank < MergeStep::kUnranked ? static_cast<std::uint32_t>(rank) : 0;
    ranks_fit &= rank < MergeStep::kUnranked;
    ++size_;
  }
  if (!ranks_fit) {
    const RankOrders order_of(save_ranks);
    for (const auto& [pair, rank] : save_ranks) entries_[slot_of(pair)].step.order = order_of(rank);
  }
  // Results of pairs without a rank are never used.
  for (const auto& [pair, result] : pairs_to_merge) {
    Entry& entry = entries_[slot_of(pair)];
    if (!entry.step.ranked()) continue;
    entry.step.result = result;
    entry.step.has_result = 1;
  }
}

// ---- WordMerger ----

void WordMerger::merge(const MergeTable& table, std::vector<TokenId>& word, const InterruptCheck& check_interrupt) {
  if (word.size() < 2 || table.empty()) return;
  table_ = &table;
  if (word.size() <= kScanLimit) return merge_by_scan(word);
  // One long word can take seconds.
  cadence_.emplace(check_interrupt);
  merge_by_heap(word);
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

namespace {

// Heap entries sort by order, then by position: the best pair comes first.
std::uint64_t heap_key(std::uint32_t order, std::uint32_t position) {
  return static_cast<std::uint64_t>(order) << 32 | position;
}
std::uint32_t order_of_key(std::uint64_t key) { return static_cast<std::uint32_t>(key >> 32); }
std::uint32_t position_of_key(std::uint64_t key) { return static_cast<std::uint32_t>(key); }

}  // namespace

void WordMerger::merge_by_heap(std::vector<TokenId>& word) {
  const auto size = static_cast<std::uint32_t>(word.size());
  symbols_.assign(word.begin(), word.end());
  next_.resize(size);
  prev_.resize(size);
  steps_.resize(size);
  for (std::uint32_t i = 0; i < size; ++i) {
    prev_[i] = i == 0 ? kNone : i - 1;
    next_[i] = i + 1 == size ? kNone : i + 1;
  }
  // Every lookup first, then the heap in one go: the lookups, which miss the
  // cache, overlap when nothing else waits for them.
  for (std::uint32_t i = 0; i < size; ++i) {
    cadence_->step();
    rank(i);
  }
  heap_.clear();
  for (std::uint32_t i = 0; i < size; ++i) {
    if (steps_[i].ranked()) heap_.push_back(heap_key(steps_[i].order, i));
  }
  std::make_heap(heap_.begin(), heap_.end(), std::greater<>{});
  std::uint32_t best;
  while (pop_current(best) && steps_[best].has_result) merge_round(best);
  word.clear();
  for (std::uint32_t i = 0; i != kNone; i = next_[i]) word.push_back(symbols_[i]);
}

// Looks up the pair now starting at `position`.
void WordMerger::rank(std::uint32_t position) {
  const std::uint32_t after = next_[position];
  steps_[position] = after == kNone ? MergeStep{} : table_->find({symbols_[position], symbols_[after]});
}

void WordMerger::push(std::uint64_t key) {
  heap_.push_back(key);
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
}

std::uint64_t WordMerger::pop() {
  std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
  const std::uint64_t key = heap_.back();
  heap_.pop_back();
  return key;
}

// An entry is current while the pair at its position has its order; the
// pair may have changed to another of the same rank, which is then as good
// a candidate.
bool WordMerger::is_current(std::uint64_t key) const {
  return steps_[position_of_key(key)].order == order_of_key(key);
}

TokenPair WordMerger::pair_at(std::uint32_t position) const {
  return {symbols_[position], symbols_[next_[position]]};
}

bool WordMerger::holds(std::uint32_t position, TokenPair pair) const {
  if (symbols_[position] != pair.left) return false;
  const std::uint32_t after = next_[position];
  return after != kNone && symbols_[after] == pair.right;
}

// Takes the position of the best pair of the word, skipping stale entries.
bool WordMerger::pop_current(std::uint32_t& position) {
  while (!heap_.empty()) {
    cadence_->step();
    const std::uint64_t key = pop();
    position = position_of_key(key);
    if (is_current(key)) return true;
  }
  return false;
}

// Merges every occurrence of the pair at `first` that exists when the round
// starts, left to right; a merge whose result forms the pair again at the
// same place merges again there. Pairs formed by this round join the heap
// only afterwards, so the round never goes back to the left.
void WordMerger::merge_round(std::uint32_t first) {
  const MergeStep step = steps_[first];
  const TokenPair pair = pair_at(first);
  occurrences_.assign(1, first);
  deferred_.clear();
  while (!heap_.empty() && order_of_key(heap_.front()) == step.order) {
    const std::uint64_t key = pop();
    if (!is_current(key)) continue;
    const std::uint32_t position = position_of_key(key);
    if (pair_at(position) == pair) occurrences_.push_back(position);
    else deferred_.push_back(key);  // another pair of the same rank, for a later round
  }
  formed_.clear();
  for (std::uint32_t position : occurrences_) {
    while (holds(position, pair)) merge_at(position, step.result);
  }
  for (std::uint64_t key : deferred_) push(key);
  for (std::uint32_t position : formed_) rank(position);
  for (std::uint32_t position : formed_) {
    if (steps_[position].ranked()) push(heap_key(steps_[position].order, position));
  }
}

void WordMerger::merge_at(std::uint32_t position, TokenId merged) {
  cadence_->step();
  const std::uint32_t removed = next_[position];
  const std::uint32_t after = next_[removed];
  symbols_[position] = merged;
  next_[removed] = kNone;     // a removed symbol starts no pair
  steps_[removed] = MergeStep{};  // and its entries are stale
  next_[position] = after;
  if (after != kNone) prev_[after] = position;
  // The pairs starting before and at `position` changed; each is listed once.
  if (!formed_.empty() && formed_.back() == position) return;  // merged here again
  const std::uint32_t before = prev_[position];
  if (before != kNone && (formed_.empty() || formed_.back() != before)) formed_.push_back(before);
  formed_.push_back(position);
}

}  // namespace wordloom
