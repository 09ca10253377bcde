#include "tokenizer_tables.hpp"

#include <limits>

namespace wordloom {

TokenId TokenTable::get_or_insert_id(std::string_view text) {
  if (const TokenId* id = id_of(text)) return *id;
  if (id_to_token.size() > std::numeric_limits<TokenId>::max()) {
    internal_failure("the token table is full");
  }
  const auto id = static_cast<TokenId>(id_to_token.size());
  id_to_token.emplace_back(text);
  token_to_id.emplace(std::string(text), id);
  return id;
}

}  // namespace wordloom
