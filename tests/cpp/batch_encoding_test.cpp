// Batch encoding: the same ids as encoding each text alone, in input order,
// for every thread count; the first failing text decides the error; an
// interrupt check that throws stops the batch.
#include <gtest/gtest.h>

#include <random>

#include "batch_encoding.hpp"

namespace wordloom {
namespace {

std::shared_ptr<const Model> small_model() {
  TrainingOptions options;
  options.worker_threads = 1;
  return train_model("low lower lowest newer newest wide wider <s> low new wide wider", Config{40, {}, {"<s>"}, {}},
                     options);
}

// Texts made of pieces whose characters all have tokens.
std::vector<std::string> random_texts(std::size_t count, std::mt19937& random) {
  const std::vector<std::string> pieces = {"low", "er", "new", "est", "wid", "e", "<s>", " ", "  ", "\n"};
  std::uniform_int_distribution<std::size_t> length(0, 20);
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::vector<std::string> texts(count);
  for (std::string& text : texts) {
    for (std::size_t n = length(random); n > 0; --n) text += pieces[piece(random)];
  }
  return texts;
}

std::vector<std::string_view> views_of(const std::vector<std::string>& texts) { return {texts.begin(), texts.end()}; }

std::vector<TokenId> ids_of(const Model& model, std::string_view text) {
  WordCache cache;
  std::vector<TokenId> ids;
  encode_ids_into(model, cache, text, ids, {});
  return ids;
}

TEST(BatchEncoding, EqualsEncodingEachTextAloneForEveryThreadCount) {
  const std::shared_ptr<const Model> model = small_model();
  std::mt19937 random(7);
  const std::vector<std::string> texts = random_texts(500, random);
  for (unsigned threads = 1; threads <= 8; ++threads) {
    const EncodedBatch batch = encode_batch(*model, views_of(texts), threads, {});
    ASSERT_EQ(batch.offsets.size(), texts.size() + 1);
    EXPECT_EQ(batch.offsets.front(), 0u);
    EXPECT_EQ(batch.offsets.back(), batch.ids.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      const std::vector<TokenId> expected = ids_of(*model, texts[i]);
      const std::vector<TokenId> got(batch.ids.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i]),
                                     batch.ids.begin() + static_cast<std::ptrdiff_t>(batch.offsets[i + 1]));
      ASSERT_EQ(got, expected) << "text " << i << " with " << threads << " threads";
    }
  }
}

TEST(BatchEncoding, EmptyBatchHasOneOffset) {
  const EncodedBatch batch = encode_batch(*small_model(), {}, 4, {});
  EXPECT_TRUE(batch.ids.empty());
  EXPECT_EQ(batch.offsets, std::vector<std::uint64_t>{0});
}

TEST(BatchEncoding, FirstTextWithAnUnknownCharacterIsReportedWhateverTheThreads) {
  const std::shared_ptr<const Model> model = small_model();
  std::mt19937 random(11);
  std::vector<std::string> texts = random_texts(2000, random);
  texts[1500] += " zzz";
  texts[37] += " lo\xc3\xa9w";  // é
  for (unsigned threads = 1; threads <= 8; ++threads) {
    try {
      encode_batch(*model, views_of(texts), threads, {});
      FAIL() << "no error with " << threads << " threads";
    } catch (const UnknownCharacterInText& failure) {
      EXPECT_EQ(failure.index(), 37u);
      EXPECT_STREQ(failure.what(), "text 37: the character '\xc3\xa9' (U+00E9) has no token in the vocabulary");
    }
  }
}

TEST(BatchEncoding, ThrowingInterruptCheckStopsTheWorkers) {
  const std::shared_ptr<const Model> model = small_model();
  // Enough text that the workers are still busy when the first check runs
  // (several seconds of work, checked after a tenth of one).
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "wider lowest <s> newest ";
  const std::vector<std::string> texts(64, text);
  struct Interrupted {};
  unsigned checks = 0;
  EXPECT_THROW(encode_batch(*model, views_of(texts), 2,
                            [&checks] {
                              ++checks;
                              throw Interrupted{};
                            }),
               Interrupted);
  EXPECT_EQ(checks, 1u);
}

}  // namespace
}  // namespace wordloom
