#include "utf8.hpp"

#include <cstdint>
#include <cstring>

namespace wordloom {

std::size_t valid_utf8_length(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t pos = 0;
  while (pos < size) {
    // Eight ASCII bytes at a time.
    if (pos + 8 <= size) {
      std::uint64_t block;
      std::memcpy(&block, bytes + pos, 8);
      if ((block & 0x8080808080808080ULL) == 0) {
        pos += 8;
        continue;
      }
    }
    const unsigned char lead = bytes[pos];
    if (lead < 0x80) {
      ++pos;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
      return pos;
    }
    if (pos + length > size) return pos;
    if (bytes[pos + 1] < low || bytes[pos + 1] > high) return pos;
    for (std::size_t i = 2; i < length; ++i) {
      if ((bytes[pos + i] & 0xC0) != 0x80) return pos;
    }
    pos += length;
  }
  return size;
}

}  // namespace wordloom
