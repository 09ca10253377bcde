// The vocabulary: a two-way map between token strings and dense ids, plus the
// hashed pair type that the merge tables are keyed by.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "tokenizer_error.hpp"

namespace wordloom {

// String hashing that accepts std::string_view for lookups in maps keyed by
// std::string. Boost's string hash mixes well, so the maps skip their own
// extra mixing step.
struct StringHash {
  using is_transparent = void;
  using is_avalanching = void;
  std::size_t operator()(std::string_view text) const noexcept { return boost::hash<std::string_view>{}(text); }
};
struct StringEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

template <typename Key, typename V>
using StringKeyedMap = boost::unordered_flat_map<Key, V, StringHash, StringEq>;
template <typename V>
using StringMap = StringKeyedMap<std::string, V>;
using StringSet = boost::unordered_flat_set<std::string, StringHash, StringEq>;
using StringViewSet = boost::unordered_flat_set<std::string_view, StringHash, StringEq>;

// A pair of adjacent tokens (left id, right id).
struct TokenPair {
  TokenId left = 0;
  TokenId right = 0;

  friend bool operator==(const TokenPair&, const TokenPair&) = default;
  friend auto operator<=>(const TokenPair&, const TokenPair&) = default;
};

// Both ids side by side in one 64-bit word: distinct pairs never collide here,
// and the map's own multiplicative mixing spreads the word over the table.
struct TokenPairHash {
  std::size_t operator()(const TokenPair& pair) const noexcept {
    return static_cast<std::uint64_t>(pair.left) << 32 | pair.right;
  }
};

template <typename V>
using PairMap = boost::unordered_flat_map<TokenPair, V, TokenPairHash>;

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
