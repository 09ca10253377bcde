// Word counts keep the order of first appearance, and their compact state
// keeps everything while refusing any state that counting could not make.
#include <gtest/gtest.h>

#include "word_counts_state.hpp"

namespace wordloom {
namespace {

WordCounts counted(std::initializer_list<std::pair<std::string_view, std::uint64_t>> words) {
  WordCounts counts;
  for (const auto& [word, count] : words) counts.add(word, count);
  return counts;
}

TEST(WordCounts, KeepsTheOrderOfFirstAppearanceAsTheStorageGrows) {
  WordCounts many;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20000; ++i) many.add(std::string("w").append(std::to_string(i)), 1);
  }
  ASSERT_EQ(many.size(), 20000u);
  EXPECT_EQ(many.word(12345), "w12345");
  EXPECT_EQ(many.count(12345), 3u);
}

CountedCorpus sample_corpus() {
  return {CorpusSettings{PreTokenization::Punctuation, {"<s>", "", "日本"}, SpecialTokenRemovalMethod::AhoCorasick},
          counted({{"héllo", 1}, {",", 300}, {"𝄞", 1ull << 40}, {"x", 18446744073709551615ull}})};
}

TEST(WordCountsState, RoundTripKeepsSettingsWordsCountsAndOrder) {
  const CountedCorpus corpus = sample_corpus();
  const std::string state = encode_word_counts_state(corpus);
  auto decoded = decode_word_counts_state(state);
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(decoded->settings, corpus.settings);
  EXPECT_TRUE(decoded->counts == corpus.counts);
  EXPECT_EQ(encode_word_counts_state(*decoded), state);
  EXPECT_LT(state.size(), 60u);  // lengths and counts take only the bytes they need
}

TEST(WordCountsState, RefusesDamageAndWordsTheSettingsCannotMake) {
  const std::string state = encode_word_counts_state(sample_corpus());
  for (std::size_t size = 0; size < state.size(); ++size) {
    EXPECT_FALSE(decode_word_counts_state(state.substr(0, size))) << size;
  }
  EXPECT_EQ(decode_word_counts_state(state + "x").error(), "a wordloom word counts state with trailing bytes");
  EXPECT_EQ(decode_word_counts_state("WLM\x01").error(), "not a wordloom word counts state");

  const CorpusSettings punctuation{PreTokenization::Punctuation, {}, SpecialTokenRemovalMethod::Simple};
  auto refused = [&](const CorpusSettings& settings, WordCounts counts) {
    return decode_word_counts_state(encode_word_counts_state({settings, std::move(counts)})).error();
  };
  const std::string corrupt = "a truncated or corrupt wordloom word counts state";
  EXPECT_EQ(refused(punctuation, counted({{"a,b", 1}})), corrupt);  // punctuation is a word of its own
  EXPECT_EQ(refused(CorpusSettings{}, counted({{"a b", 1}})), corrupt);
  EXPECT_EQ(refused(CorpusSettings{}, counted({{"", 1}})), corrupt);
  EXPECT_EQ(refused(CorpusSettings{}, counted({{"a", 0}})), corrupt);
  EXPECT_EQ(refused(CorpusSettings{}, counted({{"\xC3", 1}})), corrupt);
  EXPECT_TRUE(decode_word_counts_state(encode_word_counts_state({CorpusSettings{}, counted({{"a,b", 1}})})));

  // The same word twice, spliced in by hand.
  std::string twice = encode_word_counts_state({CorpusSettings{}, counted({{"ab", 1}, {"cd", 2}})});
  twice.replace(twice.size() - 3, 2, "ab");
  EXPECT_EQ(decode_word_counts_state(twice).error(), "a wordloom word counts state listing a word twice");
}

}  // namespace
}  // namespace wordloom
