#include "merge_pairs.hpp"

namespace wordloom {

MergePairs::MergePairs(PairMap<std::uint64_t> save_ranks, PairMap<TokenId> pairs_to_merge)
    : table_(save_ranks, pairs_to_merge) {
  bool exact = true;
  rank_slots_.reserve(save_ranks.size());
  for (const auto& [pair, rank] : save_ranks) {
    exact &= rank < MergeStep::kUnranked;
    rank_slots_.push_back(static_cast<std::uint32_t>(table_.slot_of(pair)));
  }
  result_slots_.reserve(pairs_to_merge.size());
  for (const auto& entry : pairs_to_merge) {
    const std::size_t slot = table_.slot_of(entry.first);
    exact &= table_.entries_[slot].step.ranked();
    result_slots_.push_back(static_cast<std::uint32_t>(slot));
  }
  if (exact) return;
  rank_slots_ = {};
  result_slots_ = {};
  given_ = Maps{std::move(save_ranks), std::move(pairs_to_merge)};
}

PairMap<std::uint64_t> MergePairs::save_ranks() const {
  PairMap<std::uint64_t> ranks;
  for_each_rank([&](TokenPair pair, std::uint64_t rank) { ranks.emplace(pair, rank); });
  return ranks;
}

PairMap<TokenId> MergePairs::pairs_to_merge() const {
  PairMap<TokenId> results;
  for_each_result([&](TokenPair pair, TokenId result) { results.emplace(pair, result); });
  return results;
}

MergePairsBuilder::MergePairsBuilder(std::size_t pairs) {
  pairs_.table_ = MergeTable(pairs);
  pairs_.rank_slots_.reserve(pairs);
  pairs_.result_slots_.reserve(pairs);
}

bool MergePairsBuilder::add_rank(TokenPair pair, std::uint64_t rank) {
  MergeTable& table = pairs_.table_;
  if (rank >= MergeStep::kUnranked) return false;
  const std::size_t slot = table.slot_of(pair);
  MergeTable::Entry& entry = table.entries_[slot];
  if (!entry.step.ranked()) {
    if (!table.has_room()) return false;
    entry.pair = pair;
    ++table.size_;
    pairs_.rank_slots_.push_back(static_cast<std::uint32_t>(slot));
  }
  entry.step.order = static_cast<std::uint32_t>(rank);
  return true;
}

bool MergePairsBuilder::add_result(TokenPair pair, TokenId result) {
  const std::size_t slot = pairs_.table_.slot_of(pair);
  MergeStep& step = pairs_.table_.entries_[slot].step;
  if (!step.ranked()) return false;
  if (!step.has_result) pairs_.result_slots_.push_back(static_cast<std::uint32_t>(slot));
  step.result = result;
  step.has_result = 1;
  return true;
}

}  // namespace wordloom
