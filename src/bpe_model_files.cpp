#include "bpe_tokenizer.hpp"

namespace wordloom {

Result<void> save_model_files(const BpeTokenizer&, const std::string&) {
  internal_failure("saving a model is not implemented yet");
}

Result<BpeTokenizer> load_model_files(std::string_view) {
  internal_failure("loading a model is not implemented yet");
}

BpeTokenizer BpeTokenizer::new_from_pretrained(std::string_view files_path) {
  Result<BpeTokenizer> loaded = load_model_files(files_path);
  if (!loaded) exit_with_error_line("Error: " + loaded.error().display());
  return std::move(loaded).value();
}

}  // namespace wordloom
