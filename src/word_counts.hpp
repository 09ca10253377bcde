// Distinct words with how often each occurred, in order of first appearance:
// all that training needs of a corpus of any length, and what separately
// counted parts of a corpus add up through.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "tokenizer_tables.hpp"

namespace wordloom {

namespace word_counts_detail {

// Every word's bytes, one after another.
struct Words {
  std::string bytes;
  std::vector<std::uint64_t> ends;  // word i ends at ends[i] and starts where word i - 1 ends

  std::string_view operator[](std::uint32_t i) const {
    const std::uint64_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
};

// An entry of the index holds a word's number in its low half and the high
// half of the word's hash in its high half, so that growing the index never
// reads the words again. A lookup brings the word with that half.
struct Lookup {
  std::string_view word;
  std::uint64_t hash_half;

  explicit Lookup(std::string_view w) : word(w), hash_half(StringHash{}(w) >> 32) {}
  std::uint64_t entry(std::uint32_t number) const { return hash_half << 32 | number; }
};
struct EntryHash {
  using is_transparent = void;
  std::size_t operator()(const Lookup& lookup) const noexcept { return lookup.hash_half; }
  std::size_t operator()(std::uint64_t entry) const noexcept { return entry >> 32; }
};
struct EntryEq {
  using is_transparent = void;
  const Words* words;
  std::string_view text(const Lookup& lookup) const { return lookup.word; }
  std::string_view text(std::uint64_t entry) const { return (*words)[static_cast<std::uint32_t>(entry)]; }
  template <typename A, typename B>
  bool operator()(const A& a, const B& b) const noexcept {
    return text(a) == text(b);
  }
};

}  // namespace word_counts_detail

// The words are owned: a word costs its bytes and a few machine words
// however often it occurs. Movable, not copyable (add_all copies).
class WordCounts {
 public:
  WordCounts();

  // Adds `count` occurrences of `word`; a word not seen before goes last.
  void add(std::string_view word, std::uint64_t count);
  // Adds every word of `other` in its order: the result counts this text
  // followed by other's.
  void add_all(const WordCounts& other);

  std::size_t size() const { return counts_.size(); }
  std::string_view word(std::size_t index) const { return (*words_)[static_cast<std::uint32_t>(index)]; }
  std::uint64_t count(std::size_t index) const { return counts_[index]; }
  const std::vector<std::uint64_t>& counts() const { return counts_; }

  // The same words with the same counts in the same order.
  friend bool operator==(const WordCounts& a, const WordCounts& b);

 private:
  std::unique_ptr<word_counts_detail::Words> words_;  // stays put when the counts move: the index refers to it
  std::vector<std::uint64_t> counts_;
  boost::unordered_flat_set<std::uint64_t, word_counts_detail::EntryHash, word_counts_detail::EntryEq> index_;
};

}  // namespace wordloom
