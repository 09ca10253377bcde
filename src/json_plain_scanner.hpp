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
    return next(c);
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
  bool unsigned_integer(std::uint64_t max, std::uint64_t& value) {
    skip_space();
    return digits(max, value);
  }
  // A string of two such integers and `separator` between them, "12_7" for '_'.
  bool integer_pair_string(char separator, std::uint64_t max, std::uint64_t& first, std::uint64_t& second) {
    return consume('"') && digits(max, first) && next(separator) && digits(max, second) && next('"');
  }

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
    std::string decoded;
    std::string_view key;
    return object([&] { return string(key, decoded); }, [&] { return read_member(key); });
  }

  // An object whose keys read_key() reads, each followed by a value that
  // read_value() reads.
  template <typename ReadKey, typename ReadValue>
  bool object(ReadKey&& read_key, ReadValue&& read_value) {
    if (!consume('{')) return false;
    if (consume('}')) return true;
    do {
      if (!read_key() || !consume(':') || !read_value()) return false;
    } while (consume(','));
    return consume('}');
  }

 private:
  // unsigned_integer() without white space before it.
  bool digits(std::uint64_t max, std::uint64_t& value);
  // Consumes `c` when it comes next, white space or not.
  bool next(char c) {
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }
  void skip_space() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  const char* at_;
  const char* end_;
};

}  // namespace wordloom::json
