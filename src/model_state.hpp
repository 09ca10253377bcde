// A model as one compact byte string: what a pickled tokenizer carries and
// what word counts trained elsewhere hand over. Unlike the model directory it
// is read in one pass without parsing text, and it keeps every table exactly
// as it is, irregular hand-written ones included.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "bpe_tokenizer.hpp"
#include "expected.hpp"

namespace wordloom {

std::string encode_model_state(const Model& model);

// The model of a byte string made by encode_model_state; a message saying
// what is wrong for anything else.
expected<std::shared_ptr<const Model>, std::string> decode_model_state(std::string_view state);

// A tokenizer record as one byte string: its settings and, when it is
// trained, its model state.
std::string encode_tokenizer_state(const BpeTokenizer& tokenizer);

// The record of a byte string made by encode_tokenizer_state; a message
// saying what is wrong for anything else.
expected<BpeTokenizer, std::string> decode_tokenizer_state(std::string_view state);

}  // namespace wordloom
