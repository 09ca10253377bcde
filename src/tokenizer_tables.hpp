// The vocabulary: a two-way map between token strings and dense ids, plus the
// hashed pair type that the merge tables are keyed by.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"
#include "tokenizer_error.hpp"

namespace wordloom {

// String hashing that accepts std::string_view for lookups in maps keyed by
// std::string (the system's abseil has its own string_view type).
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return absl::Hash<absl::string_view>{}(absl::string_view(text.data(), text.size()));
  }
};
struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

template <typename Key, typename V>
using StringKeyedMap = absl::flat_hash_map<Key, V, StringHash, StringEq>;
template <typename V>
using StringMap = StringKeyedMap<std::string, V>;
using StringSet = absl::flat_hash_set<std::string, StringHash, StringEq>;
using StringViewSet = absl::flat_hash_set<std::string_view, StringHash, StringEq>;

// A pair of adjacent tokens (left id, right id).
struct TokenPair {
  TokenId left = 0;
  TokenId right = 0;

  friend bool operator==(const TokenPair&, const TokenPair&) = default;
  friend auto operator<=>(const TokenPair&, const TokenPair&) = default;
  template <typename H>
  friend H AbslHashValue(H state, const TokenPair& pair) {
    return H::combine(std::move(state), pair.left, pair.right);
  }
};

template <typename V>
using PairMap = absl::flat_hash_map<TokenPair, V>;

// Ids are dense from 0 in order of first insertion. The two fields are read
// directly by the rest of the core; only get_or_insert_id changes them.
struct TokenTable {
  std::vector<std::string> id_to_token;
  StringMap<TokenId> token_to_id;

  // Returns the id of `text`, appending it with the next id when it is new.
  TokenId get_or_insert_id(std::string_view text);

  // The token of `id`, or nullptr when `id` is out of range.
  const std::string* token_of(TokenId id) const {
    return id < id_to_token.size() ? &id_to_token[id] : nullptr;
  }
  // The id of `text`, or nullptr when it is not a token.
  const TokenId* id_of(std::string_view text) const {
    auto found = token_to_id.find(text);
    return found == token_to_id.end() ? nullptr : &found->second;
  }
  std::size_t size() const { return id_to_token.size(); }
};

}  // namespace wordloom
