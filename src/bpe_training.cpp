#include "bpe_tokenizer.hpp"

namespace wordloom {

Result<void> BpeTokenizer::train(const TrainingOptions&) {
  if (trained) return fail(TokenizerError::invalid_state("Cannot train a pretrained model"));
  internal_failure("training is not implemented yet");
}

}  // namespace wordloom
