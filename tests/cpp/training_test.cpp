// Training against a reference that recounts every pair from the words after
// each merge: the incremental statistics must pick the same merges. Also
// determinism across worker thread counts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "bpe_tokenizer.hpp"

namespace wordloom {
namespace {

class CorpusFile {
 public:
  explicit CorpusFile(const std::string& text) {
    char name[] = "/tmp/wordloom_corpus_XXXXXX";
    const int fd = mkstemp(name);
    ::close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~CorpusFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct Learned {
  std::vector<std::string> id_to_token;
  std::vector<TokenPair> merge_rules;
};

Learned train(const std::string& text, std::uint64_t target, unsigned threads = 0,
              std::vector<std::string> special_tokens = {}) {
  CorpusFile corpus(text);
  BpeTokenizer tokenizer = BpeTokenizer::create(corpus.path(), target, PreTokenization::Whitespace,
                                                std::move(special_tokens), SpecialTokenRemovalMethod::Simple,
                                                false, std::nullopt);
  TrainingOptions options;
  options.worker_threads = threads;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(tokenizer.train(options).has_value());
  testing::internal::GetCapturedStdout();
  return {tokenizer.token_table.id_to_token, tokenizer.merge_rules};
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

TEST(Training, WorkedExampleOfTwoEqualWords) {
  const Learned six = train("ab ab", 6);
  EXPECT_EQ(six.id_to_token, (std::vector<std::string>{"a", "b", "</w>", "b</w>", "ab</w>", "ab"}));
  EXPECT_EQ(six.merge_rules, (std::vector<TokenPair>{{1, 2}, {0, 3}, {0, 1}}));
  testing::internal::CaptureStdout();
  CorpusFile corpus("ab ab");
  BpeTokenizer tokenizer = BpeTokenizer::create(corpus.path(), 7, PreTokenization::Whitespace, {},
                                                SpecialTokenRemovalMethod::Simple, false, std::nullopt);
  ASSERT_TRUE(tokenizer.train().has_value());
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(output.ends_with("targeted vocab size not reached as no more pairs to merge "));
  EXPECT_EQ(tokenizer.save_ranks.at({0, 3}), 1u);
  EXPECT_EQ(tokenizer.pairs_to_merge.at({0, 1}), 5u);
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

TEST(Training, SameResultWhateverTheThreadCount) {
  std::mt19937 random(7);
  // Large enough for several counting blocks (8 MB each) and conversion blocks.
  const std::string text = random_corpus(random, 4'000'000, "abcd", 7);
  const Learned one = train(text, 400, 1);
  for (unsigned threads : {2u, 3u, 8u}) {
    const Learned many = train(text, 400, threads);
    EXPECT_EQ(many.id_to_token, one.id_to_token) << threads << " threads";
    EXPECT_EQ(many.merge_rules, one.merge_rules) << threads << " threads";
  }
}

}  // namespace
}  // namespace wordloom
