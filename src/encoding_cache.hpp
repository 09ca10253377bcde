// Lookup data that encoding and decoding derive from a trained record once,
// so that no call scans a list where a hash lookup gives the same answer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer.hpp"

namespace wordloom {

class EncodingCache {
 public:
  explicit EncodingCache(const BpeTokenizer& tokenizer);

  bool is_special_token(std::string_view token) const { return special_tokens_.contains(token); }

  // The merged id sequence of `word` (end-of-word id included), computed once
  // per distinct word. Raises InternalFailure for a character without a token.
  const std::vector<TokenId>& merged_word(const BpeTokenizer& tokenizer, std::string_view word,
                                          const InterruptCheck& check_interrupt);

 private:
  StringSet special_tokens_;
  StringMap<std::vector<TokenId>> merged_words_;
};

}  // namespace wordloom
