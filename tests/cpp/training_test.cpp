// Training against a reference that recounts every pair from the words after
// each merge: the incremental statistics must pick the same merges. Also
// determinism across worker thread counts and corpus chunk sizes, training
// from counts of parts, and what training reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "bpe_tokenizer.hpp"
#include "corpus_counting.hpp"
#include "corpus_file.hpp"

namespace wordloom {
namespace {

// Training's reports in order: phases by number, then the exhaustion.
struct RecordingObserver final : TrainingObserver {
  std::vector<std::string> events;
  void phase_finished(TrainingPhase phase, std::chrono::nanoseconds) override {
    events.push_back("phase " + std::to_string(static_cast<int>(phase)));
  }
  void pairs_exhausted() override { events.push_back("exhausted"); }
};

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

TEST(Training, WorkedExampleOfTwoEqualWords) {
  const Learned six = train("ab ab", 6);
  EXPECT_EQ(six.id_to_token, (std::vector<std::string>{"a", "b", "</w>", "b</w>", "ab</w>", "ab"}));
  EXPECT_EQ(six.merge_rules, (std::vector<TokenPair>{{1, 2}, {0, 3}, {0, 1}}));
  CorpusFile corpus("ab ab");
  BpeTokenizer tokenizer = BpeTokenizer::create(corpus.path(), 7, PreTokenization::Whitespace, {},
                                                SpecialTokenRemovalMethod::Simple, false, std::nullopt);
  RecordingObserver observer;
  TrainingOptions options;
  options.observer = &observer;
  ASSERT_TRUE(tokenizer.train(options).has_value());
  EXPECT_EQ(observer.events, (std::vector<std::string>{"phase 1", "phase 2", "exhausted"}));
  EXPECT_EQ(tokenizer.model->save_ranks.at({0, 3}), 1u);
  EXPECT_EQ(tokenizer.model->pairs_to_merge.at({0, 1}), 5u);
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

BpeTokenizer train_in_chunks(const std::string& path, const Config& config, std::size_t chunk_bytes,
                             TrainingObserver* observer = nullptr) {
  BpeTokenizer tokenizer = BpeTokenizer::create(path, config.target_vocab_size, config.pre_tokenizer,
                                                config.special_tokens, config.special_token_removal_method, false,
                                                std::nullopt);
  TrainingOptions options;
  options.corpus_chunk_bytes = chunk_bytes;
  options.observer = observer;
  EXPECT_TRUE(tokenizer.train(options).has_value());
  return tokenizer;
}

void expect_same_model(const Model& learned, const Model& expected) {
  EXPECT_EQ(learned.token_table.id_to_token, expected.token_table.id_to_token);
  EXPECT_EQ(learned.token_table.token_to_id, expected.token_table.token_to_id);
  EXPECT_EQ(learned.merge_rules, expected.merge_rules);
  EXPECT_EQ(learned.save_ranks, expected.save_ranks);
  EXPECT_EQ(learned.pairs_to_merge, expected.pairs_to_merge);
}

TEST(Training, SameModelWhateverTheChunkSize) {
  std::mt19937 random(3);
  std::string text;
  for (int line = 0; line < 300; ++line) {
    text += random_corpus(random, 8, "abcd", 6);
    text += line % 3 == 0 ? "[S]a b" : line % 3 == 1 ? "ab[S]" : "a b\u3000";
  }
  const CorpusFile corpus(text);
  for (PreTokenization kind : {PreTokenization::Whitespace, PreTokenization::Punctuation}) {
    for (auto method : {SpecialTokenRemovalMethod::Simple, SpecialTokenRemovalMethod::AhoCorasick}) {
      for (const std::vector<std::string>& tokens : {std::vector<std::string>{"[S]", "bc"}, {"a b", "[S]"}}) {
        const Config config{300, kind, tokens, method};
        const BpeTokenizer whole = train_in_chunks(corpus.path(), config, text.size());
        for (std::size_t chunk : {1, 7, 100, 4096}) {
          SCOPED_TRACE("chunk " + std::to_string(chunk) + ", token " + tokens[0]);
          expect_same_model(*train_in_chunks(corpus.path(), config, chunk).model, *whole.model);
        }
      }
    }
  }
}

// The shared text corpora beside the project or beside a folder of working
// copies of it; empty when there are none.
std::filesystem::path shared_corpora() {
  for (std::filesystem::path folder = std::filesystem::path(__FILE__).parent_path(); folder != folder.parent_path();
       folder = folder.parent_path()) {
    if (std::filesystem::is_directory(folder / "shared" / "corpora")) return folder / "shared" / "corpora";
  }
  return {};
}

WordCounts counted_in_chunks(const std::string& path, const CorpusSettings& settings, std::size_t chunk_bytes) {
  TrainingOptions options;
  options.corpus_chunk_bytes = chunk_bytes;
  CorpusCounter counter(settings, options);
  EXPECT_TRUE(counter.count_file(path).has_value());
  return counter.finish();
}

TEST(Training, SharedCorporaCountAndLearnTheSameInSmallChunks) {
  const std::filesystem::path corpora = shared_corpora();
  if (corpora.empty()) GTEST_SKIP() << "the shared corpora are not available";
  // Nested tokens, a token holding a space, tokens of each corpus's script.
  const std::vector<std::string> tokens = {"ing", "in", "the", "of the", "не", "の", "。"};
  for (const auto& entry : std::filesystem::directory_iterator(corpora)) {
    if (entry.path().extension() != ".txt") continue;
    for (PreTokenization kind : {PreTokenization::Whitespace, PreTokenization::Punctuation}) {
      for (auto method : {SpecialTokenRemovalMethod::Simple, SpecialTokenRemovalMethod::AhoCorasick}) {
        SCOPED_TRACE(entry.path().filename().string());
        const CorpusSettings settings{kind, tokens, method};
        const WordCounts whole = counted_in_chunks(entry.path(), settings, std::size_t{1} << 30);
        for (std::size_t chunk : {64, 4096, 300'000}) {
          EXPECT_TRUE(counted_in_chunks(entry.path(), settings, chunk) == whole) << "chunk " << chunk;
        }
        const Config config{400, kind, tokens, method};
        expect_same_model(*train_in_chunks(entry.path(), config, 4096).model,
                          *train_in_chunks(entry.path(), config, std::size_t{1} << 30).model);
      }
    }
  }
}

TEST(Training, FromCountsOfPartsLearnsWhatTheWholeTextTeaches) {
  std::mt19937 random(17);
  const std::string first = random_corpus(random, 500, "abcde", 8);
  const std::string second = random_corpus(random, 500, "cdefg", 8);
  const CorpusFile whole(first + second);
  const Config config{200, PreTokenization::Whitespace, {"ab", "[S]"}, SpecialTokenRemovalMethod::AhoCorasick};
  const TrainingOptions options;
  WordCounts counts;
  for (const std::string& part : {first, second}) {
    CorpusCounter counter(CorpusSettings{config.pre_tokenizer, config.special_tokens,
                                         config.special_token_removal_method},
                          options);
    counter.count_text(part);
    counts.add_all(counter.finish());
  }
  expect_same_model(*train_model_from_counts(counts, config, options),
                    *train_in_chunks(whole.path(), config, 1 << 20).model);
}

// Progress as the observer hears it.
struct ProgressObserver final : TrainingObserver {
  std::vector<std::uint64_t> bytes;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> merges;
  void phase_finished(TrainingPhase, std::chrono::nanoseconds) override {}
  void pairs_exhausted() override {}
  void corpus_counted(std::uint64_t counted) override { bytes.push_back(counted); }
  void merges_done(std::uint64_t added, std::uint64_t wanted) override { merges.emplace_back(added, wanted); }
};

TEST(Training, TellsTheBytesCountedAndTheTokensLearned) {
  std::mt19937 random(23);
  const std::string text = random_corpus(random, 2000, "abcdef", 7);
  const CorpusFile corpus(text);
  ProgressObserver observer;
  const BpeTokenizer tokenizer = train_in_chunks(corpus.path(), Config{150, {}, {}, {}}, 1000, &observer);
  ASSERT_GT(observer.bytes.size(), 5u);
  EXPECT_TRUE(std::is_sorted(observer.bytes.begin(), observer.bytes.end()));
  EXPECT_EQ(observer.bytes.back(), text.size());
  const std::uint64_t wanted = 150 - (6 + 1);  // the alphabet and the end-of-word marker come first
  ASSERT_FALSE(observer.merges.empty());
  EXPECT_EQ(observer.merges.front(), std::make_pair(std::uint64_t{0}, wanted));
  EXPECT_EQ(observer.merges.back(), std::make_pair(wanted, wanted));
  EXPECT_EQ(tokenizer.vocab_size(), 150u);
}

TEST(Training, ACorpusWhoseLastByteIsNotUtf8ReportsNoPhaseAndLearnsNothing) {
  std::mt19937 random(29);
  const CorpusFile corpus(random_corpus(random, 1000, "abc", 5) + "\xFF");
  BpeTokenizer tokenizer = BpeTokenizer::create(corpus.path(), 50, PreTokenization::Whitespace, {"a"},
                                                SpecialTokenRemovalMethod::Simple, false, std::nullopt);
  RecordingObserver observer;
  TrainingOptions options;
  options.corpus_chunk_bytes = 64;
  options.observer = &observer;
  const Result<void> trained = tokenizer.train(options);
  ASSERT_FALSE(trained.has_value());
  EXPECT_EQ(trained.error().kind(), TokenizerError::Kind::UnreadableCorpus);
  EXPECT_EQ(trained.error().display(), "stream did not contain valid UTF-8");
  EXPECT_TRUE(observer.events.empty());
  EXPECT_FALSE(tokenizer.trained());
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
