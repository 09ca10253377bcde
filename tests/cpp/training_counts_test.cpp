// Word counts beyond what a symbol's slot holds: training looks them up by
// the word, and their exact values still decide the merges.
#include <gtest/gtest.h>

#include "bpe_tokenizer.hpp"
#include "word_counts.hpp"

namespace wordloom {
namespace {

TEST(TrainingCounts, CountsBeyondThirtyOneBitsKeepTheirOrder) {
  const std::uint64_t large = std::uint64_t{1} << 31;
  for (const std::uint64_t base : {large, large << 9}) {
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
