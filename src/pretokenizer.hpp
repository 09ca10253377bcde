// Splitting a text into words: at Unicode white space, and optionally also
// around every ASCII punctuation character.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace wordloom {

enum class PreTokenization : std::uint8_t { Whitespace = 0, Punctuation = 1 };

namespace pretokenizer_detail {

// Length in bytes of the white-space character starting at `pos`, or 0 when
// the character there is not white space. `text` must be valid UTF-8.
inline std::size_t whitespace_length(std::string_view text, std::size_t pos) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) return (byte == ' ' || (byte >= 0x09 && byte <= 0x0D)) ? 1 : 0;
  auto at = [&](std::size_t offset) {
    return pos + offset < text.size() ? static_cast<unsigned char>(text[pos + offset]) : 0;
  };
  switch (byte) {
    case 0xC2:  // U+0085, U+00A0
      return (at(1) == 0x85 || at(1) == 0xA0) ? 2 : 0;
    case 0xE1:  // U+1680
      return (at(1) == 0x9A && at(2) == 0x80) ? 3 : 0;
    case 0xE2: {  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      const unsigned char b1 = at(1), b2 = at(2);
      if (b1 == 0x80) return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) && b2 >= 0x80 ? 3 : 0;
      return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0;
    }
    case 0xE3:  // U+3000
      return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;
    default:
      return 0;
  }
}

// Whether a white-space character may start with `byte`.
inline constexpr auto kMayStartWhitespace = [] {
  std::array<bool, 256> may_start{};
  for (unsigned char byte : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0xC2, 0xE1, 0xE2, 0xE3}) may_start[byte] = true;
  return may_start;
}();

// The first position from `pos` where white space may start. Printable ASCII
// never starts it, which rules out eight bytes at a time in most texts.
inline std::size_t skip_to_possible_whitespace(std::string_view text, std::size_t pos) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  for (; text.size() - pos >= 8; pos += 8) {
    std::uint64_t block;
    std::memcpy(&block, text.data() + pos, 8);
    // Bytes up to 0x20 and from 0x80; the lowest flag is exact.
    const std::uint64_t flags = (((block - kOnes * 0x21) & ~block) | block) & kHighBits;
    if (flags != 0) {
      pos += static_cast<std::size_t>(std::countr_zero(flags)) / 8;
      break;
    }
  }
  while (pos < text.size() && !kMayStartWhitespace[static_cast<unsigned char>(text[pos])]) ++pos;
  return pos;
}

inline bool is_ascii_punctuation(char c) {
  return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
         (c >= 0x7B && c <= 0x7E);
}

}  // namespace pretokenizer_detail

// Calls `on_word(std::string_view)` for every word of `text`, in text order,
// without copying. Words are never empty. `text` must be valid UTF-8.
template <typename OnWord>
void for_each_word(PreTokenization kind, std::string_view text, OnWord&& on_word) {
  using namespace pretokenizer_detail;
  auto emit_piece = [&](std::string_view piece) {
    if (kind == PreTokenization::Whitespace) return on_word(piece);
    std::size_t word_start = 0;
    for (std::size_t i = 0; i < piece.size(); ++i) {
      if (!is_ascii_punctuation(piece[i])) continue;
      if (i > word_start) on_word(piece.substr(word_start, i - word_start));
      on_word(piece.substr(i, 1));
      word_start = i + 1;
    }
    if (word_start < piece.size()) on_word(piece.substr(word_start));
  };
  std::size_t piece_start = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    pos = skip_to_possible_whitespace(text, pos);
    if (pos == text.size()) break;
    const std::size_t space = whitespace_length(text, pos);
    if (space == 0) {
      ++pos;
      continue;
    }
    if (pos > piece_start) emit_piece(text.substr(piece_start, pos - piece_start));
    pos += space;
    piece_start = pos;
  }
  if (pos > piece_start) emit_piece(text.substr(piece_start, pos - piece_start));
}

// The words of `text` as owned strings, in text order.
std::vector<std::string> pre_tokenize(PreTokenization kind, std::string_view text);

}  // namespace wordloom
