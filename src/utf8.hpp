// The few UTF-8 operations the core needs on text that is already valid.
#pragma once

#include <cstddef>
#include <string_view>

namespace wordloom {

// Byte length of the character whose first byte is `lead`.
inline std::size_t utf8_char_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// The code point of the character starting at `pos`.
inline char32_t utf8_code_point(std::string_view text, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[pos + i])); };
  switch (utf8_char_length(static_cast<unsigned char>(text[pos]))) {
    case 1: return byte(0);
    case 2: return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3: return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    default: return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 | (byte(3) & 0x3F);
  }
}

// Calls on_char(std::string_view) for every character of valid UTF-8 `text`.
template <typename OnChar>
void for_each_char(std::string_view text, OnChar&& on_char) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = utf8_char_length(static_cast<unsigned char>(text[pos]));
    on_char(text.substr(pos, length));
    pos += length;
  }
}

// The length of the longest prefix of `text` made of well-formed UTF-8
// characters (no overlongs, surrogates or values beyond U+10FFFF).
std::size_t valid_utf8_length(std::string_view text);

inline bool is_valid_utf8(std::string_view text) { return valid_utf8_length(text) == text.size(); }

}  // namespace wordloom
