// Word counts of 32 bits and more: training keeps them aside by word, and
// their exact values still decide the merges.
#include <gtest/gtest.h>

#include "bpe_tokenizer.hpp"
#include "word_counts.hpp"

namespace wordloom {
namespace {

TEST(TrainingCounts, CountsOfThirtyTwoBitsAndMoreKeepTheirOrder) {
  // With the first base one count is 2^32 - 1 exactly and the other above it.
  for (const std::uint64_t base : {(std::uint64_t{1} << 32) - 4, std::uint64_t{1} << 40}) {
    WordCounts counts;  // ids: x 0, y 1, z 2, w 3, </w> 4
    counts.add("xy", base + 5);
    counts.add("zw", base + 3);
    const std::shared_ptr<const Model> model =
        train_model_from_counts(counts, Config{7, PreTokenization::Whitespace, {}, {}}, TrainingOptions{});
    // (y, </w>) and (x, y) tie above the pairs of zw; the higher ids win.
    EXPECT_EQ(model->merge_rules, (std::vector<TokenPair>{{1, 4}, {0, 5}})) << base;
  }
}

}  // namespace
}  // namespace wordloom
