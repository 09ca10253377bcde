// Training against a reference that recounts every pair from the words after
// each merge, with the work split between threads and counting blocks.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "bpe_tokenizer.hpp"
#include "corpus_file.hpp"

namespace wordloom {
namespace {

struct Learned {
  std::vector<std::string> id_to_token;
  std::vector<TokenPair> merge_rules;
};

Learned train(const std::string& text, std::uint64_t target, const TrainingOptions& options,
              PreTokenization pre_tokenizer = PreTokenization::Whitespace) {
  CorpusFile corpus(text);
  BpeTokenizer tokenizer = BpeTokenizer::create(corpus.path(), target, pre_tokenizer, {},
                                                SpecialTokenRemovalMethod::Simple, false, std::nullopt);
  EXPECT_TRUE(tokenizer.train(options).has_value());
  return {tokenizer.model->token_table.id_to_token, tokenizer.model->merge_rules};
}

Learned train(const std::string& text, std::uint64_t target, unsigned threads = 0) {
  TrainingOptions options;
  options.worker_threads = threads;
  return train(text, target, options);
}

// Recounts from the words after every merge. A pair becomes a candidate once
// it occurs and stays one (possibly at count 0) until it is selected.
Learned reference_train(const std::string& text, std::uint64_t target) {
  TokenTable table;
  std::vector<std::vector<TokenId>> words;
  std::vector<std::string> split = pre_tokenize(PreTokenization::Whitespace, text);
  for (const std::string& word : split) {
    words.emplace_back();
    for (std::size_t i = 0; i < word.size(); ++i) words.back().push_back(table.get_or_insert_id(word.substr(i, 1)));
  }
  const TokenId end_of_word = table.get_or_insert_id("</w>");
  for (auto& word : words) word.push_back(end_of_word);

  std::vector<TokenPair> rules;
  std::set<TokenPair> candidates;
  auto recount = [&] {
    std::map<TokenPair, std::uint64_t> counts;
    for (const auto& word : words) {
      for (std::size_t i = 0; i + 1 < word.size(); ++i) ++counts[{word[i], word[i + 1]}];
    }
    for (const auto& [pair, count] : counts) candidates.insert(pair);
    return counts;
  };
  while (table.size() < target) {
    auto counts = recount();
    if (candidates.empty()) break;
    auto score = [&](TokenPair pair) { return std::tuple(counts.count(pair) ? counts[pair] : 0, pair.left, pair.right); };
    TokenPair best = *candidates.begin();
    for (TokenPair pair : candidates) {
      if (score(pair) > score(best)) best = pair;
    }
    candidates.erase(best);
    const TokenId merged = table.get_or_insert_id(table.id_to_token[best.left] + table.id_to_token[best.right]);
    rules.push_back(best);
    for (auto& word : words) {
      for (std::size_t i = 0; i + 1 < word.size();) {
        if (word[i] == best.left && word[i + 1] == best.right) {
          word.erase(word.begin() + static_cast<std::ptrdiff_t>(i) + 1);
          word[i] = merged;
        }
        ++i;
      }
    }
  }
  return {table.id_to_token, rules};
}

std::string random_corpus(std::mt19937& random, int words, const std::string& letters, int max_length) {
  std::string text;
  for (int w = 0; w < words; ++w) {
    const int length = std::uniform_int_distribution<int>(1, max_length)(random);
    for (int i = 0; i < length; ++i) text += letters[random() % letters.size()];
    text += random() % 7 == 0 ? "\n" : " ";
  }
  return text;
}

TEST(Training, MatchesRecountingReferenceOnRepetitiveCorpora) {
  // Runs and words holding the selected pair more than once, where counts
  // kept only near each rewrite would drift.
  for (const std::string text : {"aaaaa aaa aaaa aa a", "abab ababab ab aabb abba", "aaabaaab baaa aab aaaa abaa"}) {
    for (std::uint64_t target : {8, 12, 20, 40}) {
      ASSERT_EQ(train(text, target).merge_rules, reference_train(text, target).merge_rules) << text;
    }
  }
  std::mt19937 random(99);
  for (int trial = 0; trial < 60; ++trial) {
    const std::string letters = trial % 3 == 0 ? "a" : trial % 3 == 1 ? "ab" : "abc";
    const std::string text = random_corpus(random, 40, letters, 9);
    const std::uint64_t target = std::uniform_int_distribution<std::uint64_t>(5, 60)(random);
    const Learned learned = train(text, target);
    const Learned expected = reference_train(text, target);
    ASSERT_EQ(learned.merge_rules, expected.merge_rules) << "corpus: " << text;
    ASSERT_EQ(learned.id_to_token, expected.id_to_token) << "corpus: " << text;
  }
}

TEST(Training, ACorpusWhoseLastByteIsNotUtf8ReportsNoPhaseAndLearnsNothing) {
  struct PhaseCounter final : TrainingObserver {
    int phases = 0;
    void phase_finished(TrainingPhase, std::chrono::nanoseconds) override { ++phases; }
    void pairs_exhausted() override {}
  } observer;
  std::mt19937 random(29);
  const CorpusFile corpus(random_corpus(random, 1000, "abc", 5) + "\xFF");
  BpeTokenizer tokenizer = BpeTokenizer::create(corpus.path(), 50, PreTokenization::Whitespace, {"a"},
                                                SpecialTokenRemovalMethod::Simple, false, std::nullopt);
  TrainingOptions options;
  options.corpus_chunk_bytes = 64;
  options.observer = &observer;
  const Result<void> trained = tokenizer.train(options);
  ASSERT_FALSE(trained.has_value());
  EXPECT_EQ(trained.error().kind(), TokenizerError::Kind::UnreadableCorpus);
  EXPECT_EQ(observer.phases, 0);
  EXPECT_FALSE(tokenizer.trained());
}

TEST(Training, MergesSplitBetweenThreadsMatchTheReference) {
  // Long runs of one letter: the first merges have more places than one
  // thread takes, and the even share of each thread ends inside a run.
  std::string text;
  for (int length = 1; length <= 600; ++length) text += std::string(length, length % 3 == 0 ? 'b' : 'a') + ' ';
  const Learned expected = reference_train(text, 40);
  for (unsigned threads : {2u, 3u, 8u}) {
    const Learned learned = train(text, 40, threads);
    EXPECT_EQ(learned.merge_rules, expected.merge_rules) << threads << " threads";
    EXPECT_EQ(learned.id_to_token, expected.id_to_token) << threads << " threads";
  }
}

// Words of one to a dozen characters, some ASCII and some of two to four
// bytes, separated by white space of one to three bytes, and now and then a
// run far longer than the counting blocks.
std::string random_mixed_corpus(std::mt19937& random, int words) {
  const std::vector<std::string> letters{"a", "b", "c", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x99\x82", ",", "'"};
  const std::vector<std::string> spaces{" ", " ", "\t", "\n ", "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\xA8"};
  std::string text;
  for (int w = 0; w < words; ++w) {
    const int length = random() % 50 == 0 ? 200 : std::uniform_int_distribution<int>(1, 12)(random);
    for (int i = 0; i < length; ++i) text += letters[random() % letters.size()];
    text += spaces[random() % spaces.size()];
  }
  return text;
}

TEST(Training, CountingBlocksNeverSplitAWord) {
  // Blocks of a few bytes put block edges inside almost every word and
  // character; the result must equal counting the text in one block.
  std::mt19937 random(5);
  for (PreTokenization kind : {PreTokenization::Whitespace, PreTokenization::Punctuation}) {
    for (int trial = 0; trial < 4; ++trial) {
      const std::string text = random_mixed_corpus(random, 300);
      const Learned whole = train(text, 150, TrainingOptions{}, kind);
      for (std::size_t block_bytes : {1, 2, 3, 5, 16, 100, 1000}) {
        TrainingOptions options;
        options.count_block_bytes = block_bytes;
        options.worker_threads = 3;
        const Learned blocked = train(text, 150, options, kind);
        ASSERT_EQ(blocked.id_to_token, whole.id_to_token) << block_bytes << " bytes a block, trial " << trial;
        ASSERT_EQ(blocked.merge_rules, whole.merge_rules) << block_bytes << " bytes a block, trial " << trial;
      }
    }
  }
}

}  // namespace
}  // namespace wordloom
