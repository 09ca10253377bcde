// save_ranks and pairs_to_merge as a model keeps them. The merge table nearly
// always holds both exactly (every rank fits an order, every result has a
// rank); then only the order their members came in is kept beside it, so that
// they are written back as they were read. Otherwise the maps are kept as
// given, beside a table derived from them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tokenizer_tables.hpp"
#include "word_merger.hpp"

namespace wordloom {

class MergePairs {
 public:
  MergePairs(PairMap<std::uint64_t> save_ranks, PairMap<TokenId> pairs_to_merge);

  const MergeTable& table() const { return table_; }

  // visit(pair, rank) for each member of save_ranks, in their order.
  template <typename Visit>
  void for_each_rank(Visit&& visit) const {
    const auto rank = [](MergeStep step) { return std::uint64_t{step.order}; };
    visit_members(given_ ? &given_->ranks : nullptr, rank_slots_, rank, visit);
  }
  // visit(pair, result) for each member of pairs_to_merge, in their order.
  template <typename Visit>
  void for_each_result(Visit&& visit) const {
    const auto result = [](MergeStep step) { return step.result; };
    visit_members(given_ ? &given_->results : nullptr, result_slots_, result, visit);
  }

  PairMap<std::uint64_t> save_ranks() const;
  PairMap<TokenId> pairs_to_merge() const;

 private:
  friend class MergePairsBuilder;

  struct Maps {
    PairMap<std::uint64_t> ranks;
    PairMap<TokenId> results;
  };

  MergePairs() = default;

  // The members of `given` when the maps are kept, else those held in `slots`.
  template <typename V, typename ValueOf, typename Visit>
  void visit_members(const PairMap<V>* given, const std::vector<std::uint32_t>& slots, ValueOf value_of,
                     Visit& visit) const {
    if (given != nullptr) {
      for (const auto& [pair, value] : *given) visit(pair, value);
      return;
    }
    for (std::uint32_t slot : slots) {
      const MergeTable::Entry& entry = table_.entries_[slot];
      visit(entry.pair, value_of(entry.step));
    }
  }

  MergeTable table_;
  // The table's slots in the order of the members of each map.
  std::vector<std::uint32_t> rank_slots_;
  std::vector<std::uint32_t> result_slots_;
  std::optional<Maps> given_;  // when the table cannot give them back
};

// Fills the merge table straight from the members of save_ranks, then of
// pairs_to_merge, as a file lists them, so that a plain model never builds
// the maps. Refuses (false) a member the table cannot hold exactly, or one
// pair more than it has room for.
class MergePairsBuilder {
 public:
  // Room for `pairs` ranked pairs.
  explicit MergePairsBuilder(std::size_t pairs);

  // A pair named again keeps its last value.
  bool add_rank(TokenPair pair, std::uint64_t rank);
  bool add_result(TokenPair pair, TokenId result);

  // save_ranks as added so far.
  PairMap<std::uint64_t> save_ranks() const { return pairs_.save_ranks(); }
  MergePairs finish() && { return std::move(pairs_); }

 private:
  MergePairs pairs_;
};

}  // namespace wordloom
