#include "json_plain_scanner.hpp"

#include <bit>
#include <cstring>

#include "utf8.hpp"

namespace wordloom::json {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& text, char32_t code_point) {
  if (code_point < 0x80) {
    text += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    text += static_cast<char>(0xC0 | code_point >> 6);
    text += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    text += static_cast<char>(0xE0 | code_point >> 12);
    text += static_cast<char>(0x80 | (code_point >> 6 & 0x3F));
    text += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// The string between the quotes with its escapes replaced. A \u escape of a
// surrogate, alone or in a pair, is left to the full reader.
bool decode_escapes(std::string_view raw, std::string& decoded) {
  decoded.clear();
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      decoded += raw[i];
      continue;
    }
    if (++i == raw.size()) return false;
    switch (raw[i]) {
      case '"': decoded += '"'; break;
      case '\\': decoded += '\\'; break;
      case '/': decoded += '/'; break;
      case 'b': decoded += '\b'; break;
      case 'f': decoded += '\f'; break;
      case 'n': decoded += '\n'; break;
      case 'r': decoded += '\r'; break;
      case 't': decoded += '\t'; break;
      case 'u': {
        if (raw.size() - i < 5) return false;
        char32_t code_point = 0;
        for (std::size_t digit = 1; digit <= 4; ++digit) {
          const int value = hex_digit(raw[i + digit]);
          if (value < 0) return false;
          code_point = code_point << 4 | static_cast<char32_t>(value);
        }
        if (code_point >= 0xD800 && code_point <= 0xDFFF) return false;
        append_utf8(decoded, code_point);
        i += 4;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

// Eight bytes from `at` with the first in the lowest byte, whatever the host,
// so that counting trailing zero bits finds the first byte that matches.
std::uint64_t eight_bytes(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// The first byte from `at` that is no printable ASCII character other than a
// quote or a backslash; eight bytes at a time while they are all plain.
const char* skip_plain_bytes(const char* at, const char* end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  const auto zero_byte = [](std::uint64_t word) { return (word - kOnes) & ~word & kHighBits; };
  for (; end - at >= 8; at += 8) {
    const std::uint64_t word = eight_bytes(at);
    // The lowest flag marks the first special byte exactly; flags above it may be spurious.
    const std::uint64_t special = zero_byte(word ^ (kOnes * '"')) | zero_byte(word ^ (kOnes * '\\')) |
                                  ((word - kOnes * 0x20) & ~word) | (word & kHighBits);
    if ((special & kHighBits) != 0) return at + std::countr_zero(special & kHighBits) / 8;
  }
  while (at != end) {
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\') break;
    ++at;
  }
  return at;
}

// Reads the digits that start at `at`, when fewer than eight of them come
// before another byte, and moves `at` past them; all eight bytes from `at`
// must be readable. Ids and ranks are short: this spares a branch per digit.
bool take_short_number(const char*& at, std::uint64_t& number) {
  constexpr std::uint64_t kZeros = 0x3030303030303030ULL;  // '0' in every byte
  const std::uint64_t word = eight_bytes(at);
  // 0x33 in each byte that is a digit: its high nibble is 3, also after adding 6.
  const std::uint64_t high_nibbles = 0xF0F0F0F0F0F0F0F0ULL;
  const std::uint64_t not_digits = ((word & high_nibbles) | ((word + 0x0606060606060606ULL) & high_nibbles) >> 4) ^
                                   0x3333333333333333ULL;
  if (not_digits == 0) return false;
  const int digits = std::countr_zero(not_digits) / 8;
  if (digits == 0) return true;
  // The digits as values in the top bytes, most significant first, then
  // combined pairwise: 2, 4, then 8 digits per lane.
  std::uint64_t lanes = (word - kZeros) << (64 - 8 * digits);
  lanes = lanes * 10 + (lanes >> 8);
  constexpr std::uint64_t kLowBytes = 0x000000FF000000FFULL;
  lanes = ((lanes & kLowBytes) * (100 + (1000000ULL << 32)) + ((lanes >> 16) & kLowBytes) * (1 + (10000ULL << 32))) >> 32;
  number = lanes;
  at += digits;
  return true;
}

}  // namespace

bool PlainScanner::string(std::string_view& text, std::string& decoded) {
  if (!consume('"')) return false;
  const char* const begin = at_;
  const char* at = begin;
  bool escaped = false;
  bool ascii = true;
  for (;; ++at) {
    at = skip_plain_bytes(at, end_);
    if (at == end_) return false;
    const auto byte = static_cast<unsigned char>(*at);
    if (byte == '"') break;
    if (byte < 0x20) return false;
    if (byte == '\\') {
      escaped = true;
      if (++at == end_) return false;  // the escaped byte is skipped, a quote included
    } else {
      ascii = false;
    }
  }
  at_ = at + 1;
  const std::string_view raw(begin, static_cast<std::size_t>(at - begin));
  if (!ascii && !is_valid_utf8(raw)) return false;
  if (!escaped) {
    text = raw;
    return true;
  }
  if (!decode_escapes(raw, decoded)) return false;
  text = decoded;
  return true;
}

bool PlainScanner::digits(std::uint64_t max, std::uint64_t& value) {
  constexpr std::ptrdiff_t kMaxDigits = 19;  // below 2^64 whatever the digits
  const auto digit_at = [this](const char* p) { return p != end_ && static_cast<unsigned>(*p - '0') <= 9; };
  const char* at = at_;
  std::uint64_t number = 0;
  if (end_ - at < 8 || !take_short_number(at, number)) {
    for (const char* const first = at; digit_at(at) && at - first < kMaxDigits; ++at) {
      number = number * 10 + static_cast<std::uint64_t>(*at - '0');
    }
  }
  // Leading zeros, more digits (beyond 19), a fraction or an exponent are
  // left to the full reader.
  const std::ptrdiff_t count = at - at_;
  if (count == 0 || (count > 1 && *at_ == '0')) return false;
  if (digit_at(at) || (at != end_ && (*at == '.' || *at == 'e' || *at == 'E'))) return false;
  at_ = at;
  value = number;
  return number <= max;
}

}  // namespace wordloom::json
