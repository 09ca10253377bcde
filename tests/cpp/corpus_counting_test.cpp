// Counting a corpus a chunk at a time: whatever the chunk size, the counts
// equal those of the whole text cleaned and split at once, with special
// tokens anywhere near the cuts; failures say what went wrong and where.
#include <gtest/gtest.h>

#include <random>

#include "corpus_counting.hpp"
#include "corpus_file.hpp"

namespace wordloom {
namespace {

using Listed = std::vector<std::pair<std::string, std::uint64_t>>;

Listed listed(const WordCounts& counts) {
  Listed words;
  for (std::size_t i = 0; i < counts.size(); ++i) words.emplace_back(counts.word(i), counts.count(i));
  return words;
}

// The text cleaned whole, then split and counted.
Listed whole_text_counts(const std::string& text, const CorpusSettings& settings) {
  std::string cleaned = text;
  if (settings.special_token_removal_method == SpecialTokenRemovalMethod::AhoCorasick) {
    if (!settings.special_tokens.empty()) cleaned = AhoCorasick(settings.special_tokens).remove_all(text);
  } else {
    cleaned = remove_one_token_at_a_time(text, settings.special_tokens);
  }
  WordCounts counts;
  for_each_word(settings.pre_tokenizer, cleaned, [&](std::string_view word) { counts.add(word, 1); });
  return listed(counts);
}

// Pieces that form and break special tokens, in every kind of white space
// the token lists below hold.
const std::vector<std::string> kPieces = {"a", "b", "c", "ab", "bc", "abcd", "[S]", "[", "]", "S", "é", "日",
                                          ",", "!", " ", " ", "\n", "\t", "\u3000", "\u00a0", "a b", "b\n"};

std::string random_text(std::mt19937& random, int pieces) {
  std::string text;
  for (int i = 0; i < pieces; ++i) text += kPieces[random() % kPieces.size()];
  return text;
}

std::vector<CorpusSettings> every_setting() {
  const std::vector<std::vector<std::string>> token_lists = {
      {},
      {"[S]", "abcd", "bc"},  // no white space: a cut may follow any
      {"a b", "[S]"},         // a space: cuts follow other white space only
      {"b\n", "c"},
      {" ", "\n", "\t", "\u3000", "\u00a0", "a b"},  // all the text's white space: no cut at all
      {"", "ab"},                                    // an empty token
  };
  std::vector<CorpusSettings> settings;
  for (const auto& tokens : token_lists) {
    for (PreTokenization kind : {PreTokenization::Whitespace, PreTokenization::Punctuation}) {
      for (auto method : {SpecialTokenRemovalMethod::Simple, SpecialTokenRemovalMethod::AhoCorasick}) {
        settings.push_back({kind, tokens, method});
      }
    }
  }
  return settings;
}

std::string describe(const CorpusSettings& settings) {
  std::string text = "kind " + std::to_string(static_cast<int>(settings.pre_tokenizer)) + ", method " +
                     std::to_string(static_cast<int>(settings.special_token_removal_method)) + ", tokens";
  for (const std::string& token : settings.special_tokens) text += " [" + token + "]";
  return text;
}

TrainingOptions chunks_of(std::size_t bytes) {
  TrainingOptions options;
  options.corpus_chunk_bytes = bytes;
  return options;
}

const std::size_t kChunkSizes[] = {1, 2, 3, 5, 8, 13, 64, std::size_t{1} << 20};

TEST(ChunkCuts, FollowWhiteSpaceThatNoSpecialTokenHolds) {
  const ChunkCuts plain(std::vector<std::string>{});
  EXPECT_EQ(plain.last("ab cd", 0), 3u);
  EXPECT_EQ(plain.last("ab\u3000cd e", 0), 8u);
  EXPECT_EQ(plain.last("ab\u3000cd", 0), 5u);
  EXPECT_EQ(plain.last("ab cd", 3), std::nullopt);  // only characters from `from` on
  EXPECT_EQ(plain.last("abcd", 0), std::nullopt);
  EXPECT_EQ(plain.separator(), "\n");

  const ChunkCuts spaced(std::vector<std::string>{"a b", "x\ny"});
  EXPECT_EQ(spaced.last("x\ty z w", 0), 2u);
  EXPECT_EQ(spaced.last("x y\nz w", 0), std::nullopt);
  EXPECT_EQ(spaced.separator(), "\t");

  const ChunkCuts every(std::vector<std::string>{"\n", " ", "\t"});
  EXPECT_EQ(every.separator(), std::nullopt);
}

TEST(CorpusCounting, FilesCountAsTheWholeTextWhateverTheChunkSize) {
  std::mt19937 random(5);
  for (int trial = 0; trial < 25; ++trial) {
    const std::string text = random_text(random, 150);
    const CorpusFile file(text);
    for (const CorpusSettings& settings : every_setting()) {
      const Listed expected = whole_text_counts(text, settings);
      for (std::size_t chunk : kChunkSizes) {
        const TrainingOptions options = chunks_of(chunk);
        CorpusCounter counter(settings, options);
        ASSERT_TRUE(counter.count_file(file.path()).has_value());
        ASSERT_EQ(listed(counter.finish()), expected) << describe(settings) << ", chunk " << chunk << ": " << text;
      }
    }
  }
}

TEST(CorpusCounting, DocumentsCountAsIfEachWereCountedAlone) {
  std::mt19937 random(11);
  for (int trial = 0; trial < 10; ++trial) {
    std::vector<std::string> documents;
    for (int i = 0; i < 12; ++i) documents.push_back(random_text(random, static_cast<int>(random() % 40)));
    for (const CorpusSettings& settings : every_setting()) {
      WordCounts expected;
      for (const std::string& document : documents) {
        for (const auto& [word, count] : whole_text_counts(document, settings)) expected.add(word, count);
      }
      for (std::size_t chunk : kChunkSizes) {
        const TrainingOptions options = chunks_of(chunk);
        CorpusCounter counter(settings, options);
        for (const std::string& document : documents) counter.count_text(document);
        ASSERT_EQ(listed(counter.finish()), listed(expected)) << describe(settings) << ", chunk " << chunk;
      }
    }
  }
}

TEST(CorpusCounting, ReportsWhereTheTextStopsBeingUtf8) {
  const std::pair<std::string, std::uint64_t> cases[] = {
      {"ab cd\xFF", 5},          // the last byte
      {"ab \xE3\x80", 3},        // a character cut short by the end
      {"x \xC3\x28 y", 2},       // a lead byte without its continuation
      {"\xC0\xAF rest", 0},      // an overlong form
      {"é \xED\xA0\x80 z", 3},   // a surrogate
      {"日本 語 \x80", 11},      // a stray continuation byte
  };
  for (const auto& [text, offset] : cases) {
    const CorpusFile file(text);
    for (std::size_t chunk : kChunkSizes) {
      const TrainingOptions options = chunks_of(chunk);
      CorpusCounter counter(CorpusSettings{}, options);
      const expected<void, CorpusReadError> read = counter.count_file(file.path());
      ASSERT_FALSE(read.has_value()) << text;
      EXPECT_EQ(read.error().kind, CorpusReadError::Kind::InvalidUtf8);
      EXPECT_EQ(read.error().byte_offset, offset) << text << ", chunk " << chunk;
    }
  }
  // Characters split between two reads are whole again once joined.
  const CorpusFile valid("日本 語\u3000é 𝄞");
  for (std::size_t chunk : kChunkSizes) {
    const TrainingOptions options = chunks_of(chunk);
    CorpusCounter counter(CorpusSettings{}, options);
    EXPECT_TRUE(counter.count_file(valid.path()).has_value()) << chunk;
    EXPECT_EQ(listed(counter.finish()), (Listed{{"日本", 1}, {"語", 1}, {"é", 1}, {"𝄞", 1}}));
  }
}

}  // namespace
}  // namespace wordloom
