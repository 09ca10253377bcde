// The ids of the one-character tokens, indexed by code point: encoding looks
// up every character of every new word, and a direct table spares hashing
// the character's bytes each time.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tokenizer_tables.hpp"

namespace wordloom {

class CharacterIds {
 public:
  // Every key of `token_to_id` that is exactly one well-formed UTF-8
  // character, with its id.
  explicit CharacterIds(const StringMap<TokenId>& token_to_id);

  // The id of the token made of `code_point` alone, if there is one.
  std::optional<TokenId> find(char32_t code_point) const {
    const std::uint32_t page = page_of_[code_point >> kPageBits];
    return entries_[page << kPageBits | (code_point & kPageMask)];
  }

 private:
  static constexpr unsigned kPageBits = 8;
  static constexpr char32_t kPageMask = (1u << kPageBits) - 1;
  static constexpr char32_t kCodePoints = 0x110000;

  // Code points come in pages of 256; pages without a token all share page 0,
  // which stays empty, so a lookup never branches on a missing page.
  std::vector<std::uint32_t> page_of_;
  std::vector<std::optional<TokenId>> entries_;
};

}  // namespace wordloom
