#include "bpe_tokenizer.hpp"
#include "encoding_cache.hpp"

namespace wordloom {

EncodingCache::EncodingCache(const BpeTokenizer& tokenizer)
    : special_tokens_(tokenizer.special_tokens.begin(), tokenizer.special_tokens.end()) {}

const EncodingCache& BpeTokenizer::encoding_cache() const {
  if (!encoding_cache_) encoding_cache_ = std::make_unique<EncodingCache>(*this);
  return *encoding_cache_;
}

Result<Encoder> BpeTokenizer::encode(std::string_view) const {
  if (!trained) return fail(TokenizerError::invalid_state("Cannot encode text without training the tokenizer"));
  internal_failure("encoding is not implemented yet");
}

void BpeTokenizer::encode_bpe_merging(std::vector<std::vector<TokenId>>&) const {}

}  // namespace wordloom
