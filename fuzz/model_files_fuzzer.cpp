// Fuzzes the model-directory reader. The input is cut at 0xFF bytes into the
// five model files, in their order of writing; a file without a field is absent.
// Loading may fail with an error (whose message must make one line of text)
// or an internal failure (a malformed pair key); a model that loads must then
// encode, decode and look up without fault.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "fuzz_support.hpp"
#include "model_directory.hpp"

namespace wordloom::fuzz {
namespace {

constexpr std::size_t kTokensTried = 64;

void write_model(std::span<const std::string_view> contents) {
  for (std::size_t i = 0; i < kModelFileNames.size(); ++i) {
    const std::filesystem::path path = scratch_directory() / kModelFileNames[i];
    if (i < contents.size()) {
      write_file(path, contents[i]);
    } else {
      std::filesystem::remove(path);
    }
  }
}

// The process prints a load error as one line of text before it ends.
void check_error_line(const TokenizerError& error) {
  const std::string& text = error.display();
  require(is_valid_utf8(text), "an error message is UTF-8");
  require(text.find_first_of("\n\r") == std::string::npos, "an error message is one line");
}

std::optional<BpeTokenizer> load() {
  try {
    Result<BpeTokenizer> loaded = BpeTokenizer::new_from_pretrained(scratch_directory().string());
    if (loaded) return std::move(loaded).value();
    check_error_line(loaded.error());
  } catch (const InternalFailure&) {
  }
  return std::nullopt;
}

// Texts built from the model's own tokens, so that most characters have one.
std::vector<std::string> texts_for(const BpeTokenizer& tokenizer) {
  const std::vector<std::string>& tokens = tokenizer.model->token_table.id_to_token;
  std::string spaced, joined;
  for (std::size_t i = 0; i < std::min(tokens.size(), kTokensTried); ++i) {
    spaced += tokens[i] + " ";
    joined += tokens[i];
  }
  std::string specials;
  for (const std::string& token : tokenizer.special_tokens) specials += token + "x ";
  return {"", "a b", spaced, joined, specials + spaced};
}

void exercise(const BpeTokenizer& tokenizer) {
  for (const std::string& text : texts_for(tokenizer)) encode_and_check(tokenizer, text);

  const std::size_t size = tokenizer.vocab_size();
  std::vector<TokenId> ids;
  for (std::size_t id = 0; id < std::min(size, kTokensTried) + 2; ++id) ids.push_back(static_cast<TokenId>(id));
  ids.push_back(std::numeric_limits<TokenId>::max());
  require(tokenizer.decode(ids).has_value(), "a loaded model decodes");
  for (TokenId id : ids) {
    Result<std::string> token = tokenizer.get_token_by_id(id);
    require(token.has_value() == (id < size), "ids below the size have tokens");
    if (token) (void)tokenizer.get_id_by_token(*token);
  }
}

}  // namespace
}  // namespace wordloom::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace wordloom::fuzz;
  write_model(split_fields({data, size}, wordloom::kModelFileNames.size()));
  if (std::optional<wordloom::BpeTokenizer> tokenizer = load()) exercise(*tokenizer);
  return 0;
}
