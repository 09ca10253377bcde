// Merge application against a literal replay of the rules: each round takes
// the best-ranked pair (leftmost on ties), stops if it has no merge result,
// else merges its occurrences left to right. Random tables hold the shapes a
// hand-made model can have (shared or huge ranks, results equal to an input).
#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "bpe_tokenizer.hpp"

namespace wordloom {
namespace {

void reference_merge(const Model& model, std::vector<TokenId>& word) {
  const PairMap<std::uint64_t> save_ranks = model.merge_pairs.save_ranks();
  const PairMap<TokenId> pairs_to_merge = model.merge_pairs.pairs_to_merge();
  if (save_ranks.empty()) return;
  while (word.size() >= 2) {
    std::optional<std::pair<std::uint64_t, TokenPair>> best;
    for (std::size_t i = 0; i + 1 < word.size(); ++i) {
      auto rank = save_ranks.find({word[i], word[i + 1]});
      if (rank == save_ranks.end()) continue;
      if (!best || rank->second < best->first) best = {{rank->second, {word[i], word[i + 1]}}};
    }
    if (!best) return;
    auto merged = pairs_to_merge.find(best->second);
    if (merged == pairs_to_merge.end()) return;
    for (std::size_t i = 0; i + 1 < word.size();) {
      if (word[i] == best->second.left && word[i + 1] == best->second.right) {
        word.erase(word.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        word[i] = merged->second;
      } else {
        ++i;
      }
    }
  }
}

Model random_tables(std::mt19937& random, TokenId alphabet, bool regular) {
  PairMap<std::uint64_t> ranks;
  PairMap<TokenId> results;
  std::uniform_int_distribution<TokenId> symbol(0, alphabet - 1);
  const int rules = std::uniform_int_distribution<int>(1, 12)(random);
  for (int rank = 0; rank < rules; ++rank) {
    const TokenPair pair{symbol(random), symbol(random)};
    std::uint64_t stored_rank = regular ? rank : std::uniform_int_distribution<int>(0, 3)(random);
    if (!regular && random() % 3 == 0) stored_rank = std::numeric_limits<std::uint64_t>::max() - stored_rank;
    ranks.insert_or_assign(pair, stored_rank);
    if (regular || random() % 5 != 0) results.insert_or_assign(pair, regular ? alphabet + rank : symbol(random));
  }
  return Model({}, {}, {}, std::move(ranks), std::move(results));
}

TEST(MergeApplication, MatchesLiteralRoundsOnRandomTables) {
  std::mt19937 random(1234);
  for (int trial = 0; trial < 20000; ++trial) {
    const TokenId alphabet = std::uniform_int_distribution<TokenId>(1, 4)(random);
    const Model model = random_tables(random, alphabet, trial % 2 == 0);
    const bool long_word = trial % 3 == 2;
    std::vector<TokenId> word(std::uniform_int_distribution<int>(long_word ? 28 : 0, long_word ? 150 : 14)(random));
    for (TokenId& id : word) id = std::uniform_int_distribution<TokenId>(0, alphabet - 1)(random);

    std::vector<std::vector<TokenId>> words{word};
    encode_bpe_merging(model, words);
    std::vector<TokenId> expected = word;
    reference_merge(model, expected);
    ASSERT_EQ(words[0], expected) << "trial " << trial;
  }
}

}  // namespace
}  // namespace wordloom
