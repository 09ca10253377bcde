// The word cache answers what merging the word afresh gives, on first sight
// and from the cache, for enough words to make it grow and for words too long
// to keep.
#include <gtest/gtest.h>

#include <random>

#include "bpe_tokenizer.hpp"

namespace wordloom {
namespace {

// Characters a, b, c and the marker; merges of every pair of them and of
// some pairs of merged tokens.
Model small_model() {
  TokenTable table;
  for (std::string_view token : {"a", "b", "c", "</w>"}) table.get_or_insert_id(token);
  PairMap<std::uint64_t> ranks;
  PairMap<TokenId> results;
  std::mt19937 random(7);
  for (TokenId left = 0; left < 12; ++left) {
    for (TokenId right = 0; right < 12; ++right) {
      if (random() % 3 != 0) continue;
      ranks.emplace(TokenPair{left, right}, ranks.size());
      results.emplace(TokenPair{left, right}, 4 + results.size() % 8);
    }
  }
  return Model({}, std::move(table), {}, std::move(ranks), std::move(results));
}

std::vector<TokenId> merged_afresh(const Model& model, std::string_view word) {
  std::vector<std::vector<TokenId>> words(1);
  for (char c : word) words[0].push_back(static_cast<TokenId>(c - 'a'));
  words[0].push_back(*model.end_of_word);
  encode_bpe_merging(model, words);
  return words[0];
}

TEST(WordCache, AnswersLikeAFreshMergeBeforeAndAfterCaching) {
  const Model model = small_model();
  std::mt19937 random(11);
  std::vector<std::string> words;
  for (int i = 0; i < 6000; ++i) {
    std::string word(std::uniform_int_distribution<int>(1, 40)(random), 'a');
    for (char& c : word) c = static_cast<char>('a' + random() % 3);
    words.push_back(std::move(word));
  }
  words.push_back(std::string(5000, 'b'));  // never kept
  words.push_back(std::string(4096, 'c'));  // the longest kept

  WordCache cache;
  for (int pass = 0; pass < 2; ++pass) {
    for (const std::string& word : words) {
      ASSERT_EQ(cache.merged_word(model, word), merged_afresh(model, word)) << "pass " << pass << ": " << word;
    }
    std::shuffle(words.begin(), words.end(), random);
  }
}

}  // namespace
}  // namespace wordloom
