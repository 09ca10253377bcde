// The record itself: construction, configuration, decoding and lookups.
#include "bpe_tokenizer.hpp"

#include <algorithm>

namespace wordloom {

BpeTokenizer::BpeTokenizer() = default;
BpeTokenizer::~BpeTokenizer() = default;
BpeTokenizer::BpeTokenizer(BpeTokenizer&&) noexcept = default;
BpeTokenizer& BpeTokenizer::operator=(BpeTokenizer&&) noexcept = default;

BpeTokenizer BpeTokenizer::create(std::string_view input_path, std::uint64_t target_vocab_size,
                                  PreTokenization pre_tokenizer, std::vector<std::string> special_tokens,
                                  SpecialTokenRemovalMethod special_token_removal_method, bool save_model,
                                  std::optional<std::string_view> output_dir) {
  BpeTokenizer tokenizer;
  tokenizer.input_path = std::string(input_path);
  tokenizer.target_vocab_size = target_vocab_size;
  tokenizer.pre_tokenizer = pre_tokenizer;
  tokenizer.special_tokens = std::move(special_tokens);
  tokenizer.special_token_removal_method = special_token_removal_method;
  tokenizer.save_model = save_model;
  if (output_dir) tokenizer.output_dir = std::string(*output_dir);
  return tokenizer;
}

BpeTokenizer BpeTokenizer::holding(std::shared_ptr<const Model> model) {
  const Config& config = model->config;
  BpeTokenizer tokenizer = create("", config.target_vocab_size, config.pre_tokenizer, config.special_tokens,
                                  config.special_token_removal_method, false, std::nullopt);
  tokenizer.model = std::move(model);
  return tokenizer;
}

BpeTokenizer BpeTokenizer::copy() const {
  BpeTokenizer copied = create(input_path, target_vocab_size, pre_tokenizer, special_tokens,
                               special_token_removal_method, save_model, output_dir);
  copied.model = model;
  return copied;
}

Config BpeTokenizer::config() const {
  return Config{target_vocab_size, pre_tokenizer, special_tokens, special_token_removal_method};
}

Result<TokenId> BpeTokenizer::get_id_by_token(std::string_view token) const {
  if (const TokenId* id = model ? model->token_table.id_of(token) : nullptr) return *id;
  return fail(TokenizerError::id_not_found(token));
}

Result<std::string> BpeTokenizer::get_token_by_id(TokenId id) const {
  if (const std::string* token = model ? model->token_table.token_of(id) : nullptr) return *token;
  return fail(TokenizerError::token_not_found_for_id(id));
}

Result<std::string> BpeTokenizer::decode(std::span<const TokenId> ids) const {
  if (!trained()) return fail(TokenizerError::invalid_state("Cannot decode text without training the tokenizer"));
  std::string joined;
  for (TokenId id : ids) {
    const std::string* token = model->token_table.token_of(id);
    if (token == nullptr) continue;
    joined += *token;
    if (token->ends_with(kEndOfWord) || model->is_special_token(*token)) joined += ' ';
  }
  // Every end-of-word marker goes, in one left-to-right pass without overlap.
  std::string text;
  text.reserve(joined.size());
  std::size_t copied = 0;
  for (std::size_t found = joined.find(kEndOfWord); found != std::string::npos;
       found = joined.find(kEndOfWord, copied)) {
    text.append(joined, copied, found - copied);
    copied = found + kEndOfWord.size();
  }
  text.append(joined, copied);
  return text;
}

Result<TokenType> Encoder::get_token_type(std::string_view token) const {
  const auto found = std::find(tokens.begin(), tokens.end(), token);
  if (found == tokens.end()) return fail(TokenizerError::token_not_in_encoding(token));
  // A token's type depends on its string alone, so the first position decides.
  return token_types[static_cast<std::size_t>(found - tokens.begin())];
}

}  // namespace wordloom
