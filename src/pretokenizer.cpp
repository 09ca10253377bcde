#include "pretokenizer.hpp"

namespace wordloom {

std::vector<std::string> pre_tokenize(PreTokenization kind, std::string_view text) {
  std::vector<std::string> words;
  for_each_word(kind, text, [&](std::string_view word) { words.emplace_back(word); });
  return words;
}

}  // namespace wordloom
