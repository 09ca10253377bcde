// The compact model and tokenizer states: a round trip keeps everything
// exactly, and any damaged state is refused with a message, never read out of
// bounds.
#include <gtest/gtest.h>

#include "model_state.hpp"

namespace wordloom {
namespace {

std::shared_ptr<const Model> irregular_model() {
  TokenTable table;
  for (const std::string& token : {std::string("a"), std::string("b"), std::string("</w>"), std::string("ab"),
                                   std::string("\0\xc3\xa9", 3)}) {
    table.get_or_insert_id(token);
  }
  table.token_to_id["stray"] = 70;  // a hand-written file may hold such entries
  return std::make_shared<const Model>(
      Config{18446744073709551615u, PreTokenization::Punctuation, {"<s>", std::string("x\0y", 3)},
             SpecialTokenRemovalMethod::AhoCorasick},
      std::move(table), std::vector<TokenPair>{{0, 1}, {0, 1}, {4294967295, 0}},
      PairMap<std::uint64_t>{{{0, 1}, 5}, {{2, 2}, 5}}, PairMap<TokenId>{{{0, 1}, 3}, {{9, 9}, 4294967295}});
}

BpeTokenizer tokenizer(std::shared_ptr<const Model> model) {
  BpeTokenizer tokenizer = BpeTokenizer::create("corpus \xc3\xa9.txt", 77, PreTokenization::Punctuation, {"<s>", ""},
                                                SpecialTokenRemovalMethod::AhoCorasick, true, std::string_view("out"));
  tokenizer.model = std::move(model);
  return tokenizer;
}

TEST(ModelState, RoundTripKeepsEveryTable) {
  const std::shared_ptr<const Model> model = irregular_model();
  const std::string state = encode_model_state(*model);
  auto decoded = decode_model_state(state);
  ASSERT_TRUE(decoded) << decoded.error();
  const Model& copy = **decoded;
  EXPECT_EQ(copy.config.target_vocab_size, model->config.target_vocab_size);
  EXPECT_EQ(copy.config.pre_tokenizer, model->config.pre_tokenizer);
  EXPECT_EQ(copy.config.special_tokens, model->config.special_tokens);
  EXPECT_EQ(copy.config.special_token_removal_method, model->config.special_token_removal_method);
  EXPECT_EQ(copy.token_table.id_to_token, model->token_table.id_to_token);
  EXPECT_EQ(copy.token_table.token_to_id, model->token_table.token_to_id);
  EXPECT_EQ(copy.merge_rules, model->merge_rules);
  EXPECT_EQ(copy.merge_pairs.save_ranks(), model->merge_pairs.save_ranks());
  EXPECT_EQ(copy.merge_pairs.pairs_to_merge(), model->merge_pairs.pairs_to_merge());
  EXPECT_EQ(copy.end_of_word, model->end_of_word);
  EXPECT_EQ(encode_model_state(copy), state);  // equal models, equal bytes
}

// A model keeps its pairs in the order its files listed them.
TEST(ModelState, EqualModelsGiveEqualBytesWhateverTheOrderOfTheirPairs) {
  const auto model_with = [](std::vector<TokenPair> pairs) {
    MergePairsBuilder builder(pairs.size());
    for (TokenPair pair : pairs) EXPECT_TRUE(builder.add_rank(pair, pair.left));
    for (TokenPair pair : pairs) EXPECT_TRUE(builder.add_result(pair, pair.right));
    return Model({}, {}, {}, std::move(builder).finish());
  };
  EXPECT_EQ(encode_model_state(model_with({{0, 1}, {2, 3}, {4, 5}})),
            encode_model_state(model_with({{4, 5}, {0, 1}, {2, 3}})));
}

TEST(TokenizerState, RoundTripKeepsSettingsAndModel) {
  std::vector<BpeTokenizer> originals;
  originals.push_back(tokenizer(nullptr));
  originals.push_back(tokenizer(irregular_model()));
  originals.back().output_dir.reset();
  for (const BpeTokenizer& original : originals) {
    auto copy = decode_tokenizer_state(encode_tokenizer_state(original));
    ASSERT_TRUE(copy) << copy.error();
    EXPECT_EQ(copy->input_path, original.input_path);
    EXPECT_EQ(copy->target_vocab_size, original.target_vocab_size);
    EXPECT_EQ(copy->pre_tokenizer, original.pre_tokenizer);
    EXPECT_EQ(copy->special_tokens, original.special_tokens);
    EXPECT_EQ(copy->special_token_removal_method, original.special_token_removal_method);
    EXPECT_EQ(copy->save_model, original.save_model);
    EXPECT_EQ(copy->output_dir, original.output_dir);
    ASSERT_EQ(copy->trained(), original.trained());
    if (original.trained()) {
      EXPECT_EQ(encode_model_state(*copy->model), encode_model_state(*original.model));
    }
  }
}

TEST(ModelState, RefusesEveryTruncationTrailingBytesAndHugeCounts) {
  std::string state = encode_model_state(*irregular_model());
  for (std::size_t size = 0; size < state.size(); ++size) {
    EXPECT_FALSE(decode_model_state(state.substr(0, size))) << size;
  }
  EXPECT_EQ(decode_model_state(state + "x").error(), "a wordloom model state with trailing bytes");
  EXPECT_EQ(decode_model_state("{}").error(), "not a wordloom model state");

  // A count no state could hold is refused before anything is reserved for it.
  const std::size_t special_count = 4 + 8 + 2;  // magic, target size, two enum bytes
  state.replace(special_count, 8, std::string(8, '\xff'));
  EXPECT_EQ(decode_model_state(state).error(), "a truncated or corrupt wordloom model state");
  state[special_count - 1] = 7;  // an unknown removal method
  EXPECT_FALSE(decode_model_state(state));
}

TEST(TokenizerState, RefusesEveryTruncationAndTrailingBytes) {
  const std::string state = encode_tokenizer_state(tokenizer(irregular_model()));
  for (std::size_t size = 0; size < state.size(); ++size) {
    EXPECT_FALSE(decode_tokenizer_state(state.substr(0, size))) << size;
  }
  EXPECT_EQ(decode_tokenizer_state(state + "x").error(), "a truncated or corrupt wordloom tokenizer state");
  EXPECT_EQ(decode_tokenizer_state(encode_model_state(*irregular_model())).error(), "not a wordloom tokenizer state");
}

}  // namespace
}  // namespace wordloom
