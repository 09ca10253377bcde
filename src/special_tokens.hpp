// Finding special tokens in text: deleting them from a training corpus (two
// methods) and cutting an encoding input at them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "interrupt_check.hpp"
#include "utf8.hpp"

namespace wordloom {

// Deletes the tokens one after another in list order; each deletion is one
// left-to-right pass without overlap. An empty token changes nothing.
std::string remove_one_token_at_a_time(std::string_view text, std::span<const std::string> tokens,
                                       const InterruptCheck& check_interrupt = {});

// A multi-pattern matcher with standard semantics: the match that ends first
// is reported, and of those ending there the longest.
class AhoCorasick {
 public:
  explicit AhoCorasick(std::span<const std::string> patterns);

  struct Match {
    std::size_t begin;
    std::size_t end;
  };
  // The first match in `text` at or after `from`, the automaton started afresh
  // there; each byte scanned is a step of `cadence`.
  std::optional<Match> find(std::string_view text, std::size_t from, InterruptCadence& cadence) const;

  // `text` with every reported match deleted, scanning on after each match.
  std::string remove_all(std::string_view text, const InterruptCheck& check_interrupt = {}) const;

 private:
  static constexpr std::uint32_t kRoot = 0;
  std::uint32_t next_state(std::uint32_t state, unsigned char byte) const;

  bool has_empty_pattern_ = false;
  std::uint32_t root_next_[256] = {};             // dense transitions of the root
  boost::unordered_flat_map<std::uint64_t, std::uint32_t> edges_;  // (state << 8 | byte) -> child
  std::vector<std::uint32_t> failure_;
  std::vector<std::uint32_t> longest_match_;      // length of the longest pattern ending here, 0 for none
};

// Cuts `text` at the special tokens, trying at every character boundary the
// tokens in list order; the first that starts there wins. Empty tokens never
// match.
class SpecialTokenSplitter {
 public:
  explicit SpecialTokenSplitter(std::span<const std::string> tokens);

  // Calls on_piece(std::string_view) for the text before each found token and
  // on_token(const std::string&) for the token; the text after the last token
  // becomes a piece only when it is not empty.
  template <typename OnPiece, typename OnToken>
  void split(std::string_view text, OnPiece&& on_piece, OnToken&& on_token,
             const InterruptCheck& check_interrupt = {}) const;

 private:
  const std::string* token_at(std::string_view text, std::size_t pos) const;

  std::span<const std::string> tokens_;
  std::vector<std::uint32_t> by_first_byte_[256];  // token indices in list order
};

template <typename OnPiece, typename OnToken>
void SpecialTokenSplitter::split(std::string_view text, OnPiece&& on_piece, OnToken&& on_token,
                                 const InterruptCheck& check_interrupt) const {
  InterruptCadence cadence(check_interrupt);
  std::size_t piece_start = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    cadence.step(1 + by_first_byte_[static_cast<unsigned char>(text[pos])].size());  // the tokens tried here
    if (const std::string* token = token_at(text, pos)) {
      on_piece(text.substr(piece_start, pos - piece_start));
      on_token(*token);
      pos += token->size();
      piece_start = pos;
      continue;
    }
    pos += utf8_char_length(static_cast<unsigned char>(text[pos]));
  }
  if (piece_start < text.size()) on_piece(text.substr(piece_start));
}

}  // namespace wordloom
