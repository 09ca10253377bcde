// A quick reader for JSON as the model writer produces it, tried before the
// full reader (json_reader.hpp). It takes a subset of JSON: objects, arrays,
// strings and integers without sign, fraction or exponent. Anything else it
// reports as unusual rather than as an error, and the caller then hands the
// same text to the full reader, which accepts or rejects it with its exact
// message. What it does accept, it reads to the same values as the full
// reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wordloom::json {

class PlainScanner {
 public:
  explicit PlainScanner(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

  // Consumes `c`, after white space, when it comes next.
  bool consume(char c) {
    skip_space();
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }
  // Whether only white space is left.
  bool at_end() {
    skip_space();
    return at_ == end_;
  }

  // A string. `text` views the input when the string has no escape, else
  // `decoded`, which then holds it.
  bool string(std::string_view& text, std::string& decoded);
  // An integer of at most `max`, in at most 19 digits.
  bool unsigned_integer(std::uint64_t max, std::uint64_t& value);

  // An array whose elements read_element() reads, each returning false on
  // anything unusual.
  template <typename ReadElement>
  bool array(ReadElement&& read_element) {
    if (!consume('[')) return false;
    if (consume(']')) return true;
    do {
      if (!read_element()) return false;
    } while (consume(','));
    return consume(']');
  }

  // An object whose member values read_member(key) reads.
  template <typename ReadMember>
  bool object(ReadMember&& read_member) {
    if (!consume('{')) return false;
    if (consume('}')) return true;
    std::string decoded;
    do {
      std::string_view key;
      if (!string(key, decoded) || !consume(':') || !read_member(key)) return false;
    } while (consume(','));
    return consume('}');
  }

 private:
  void skip_space() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  const char* at_;
  const char* end_;
};

}  // namespace wordloom::json
