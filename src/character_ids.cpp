#include "character_ids.hpp"

#include "utf8.hpp"

namespace wordloom {

CharacterIds::CharacterIds(const StringMap<TokenId>& token_to_id)
    : page_of_(kCodePoints >> kPageBits, 0), entries_(1u << kPageBits) {
  for (const auto& [token, id] : token_to_id) {
    if (token.empty() || utf8_char_length(static_cast<unsigned char>(token[0])) != token.size() ||
        !is_valid_utf8(token)) {
      continue;
    }
    const char32_t code_point = utf8_code_point(token, 0);
    std::uint32_t& page = page_of_[code_point >> kPageBits];
    if (page == 0) {
      page = static_cast<std::uint32_t>(entries_.size() >> kPageBits);
      entries_.resize(entries_.size() + (1u << kPageBits));
    }
    entries_[page << kPageBits | (code_point & kPageMask)] = id;
  }
}

}  // namespace wordloom
