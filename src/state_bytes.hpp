// Writing and reading the compact byte states (of a model, of word counts).
// Numbers are little-endian whatever the host, so states travel between
// machines; strings and lists are preceded by their length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace wordloom {

class StateWriter {
 public:
  void u8(std::uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
  void u32(std::uint32_t value) { little_endian(value, 4); }
  void u64(std::uint64_t value) { little_endian(value, 8); }
  // Seven bits a byte, low bits first; the high bit marks a byte that follows.
  void varint(std::uint64_t value) {
    for (; value >= 0x80; value >>= 7) u8(static_cast<std::uint8_t>(value | 0x80));
    u8(static_cast<std::uint8_t>(value));
  }
  void text(std::string_view value) {
    u64(value.size());
    bytes_.append(value);
  }
  void raw(std::string_view value) { bytes_.append(value); }
  std::string take() { return std::move(bytes_); }

 private:
  void little_endian(std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
  std::string bytes_;
};

// Thrown by StateReader when a field runs past the end or cannot be right.
struct Truncated {};

class StateReader {
 public:
  explicit StateReader(std::string_view bytes) : bytes_(bytes) {}
  std::uint8_t u8() { return static_cast<std::uint8_t>(little_endian(1)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(little_endian(4)); }
  std::uint64_t u64() { return little_endian(8); }
  std::uint64_t varint() {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const std::uint8_t byte = u8();
      if (shift == 63 && byte > 1) throw Truncated{};  // beyond 64 bits
      value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return value;
    }
    throw Truncated{};
  }
  std::string_view raw(std::size_t size) {
    if (size > bytes_.size() - pos_) throw Truncated{};
    const std::string_view value = bytes_.substr(pos_, size);
    pos_ += size;
    return value;
  }
  std::string_view text_view() { return raw(u64()); }
  std::string text() { return std::string(text_view()); }
  bool flag() {
    const std::uint8_t value = u8();
    if (value > 1) throw Truncated{};
    return value == 1;
  }
  // A count of items of at least `item_bytes` each, checked against what is
  // left, so that a corrupt count never reserves memory it cannot fill.
  std::size_t count(std::size_t item_bytes) { return checked_count(u64(), item_bytes); }
  std::size_t varint_count(std::size_t item_bytes) { return checked_count(varint(), item_bytes); }
  bool at_end() const { return pos_ == bytes_.size(); }

 private:
  std::size_t checked_count(std::uint64_t n, std::size_t item_bytes) const {
    if (n > (bytes_.size() - pos_) / item_bytes) throw Truncated{};
    return static_cast<std::size_t>(n);
  }
  std::uint64_t little_endian(int width) {
    const std::string_view field = raw(static_cast<std::size_t>(width));
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(field[i]);
    return value;
  }
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

}  // namespace wordloom
