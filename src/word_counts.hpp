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

// Word numbers hash and compare by their words, so that the set of numbers
// finds a word by its text.
struct WordHash {
  using is_transparent = void;
  using is_avalanching = void;  // as StringHash
  const Words* words;
  std::size_t operator()(std::string_view word) const noexcept { return StringHash{}(word); }
  std::size_t operator()(std::uint32_t i) const noexcept { return StringHash{}((*words)[i]); }
};
struct WordEq {
  using is_transparent = void;
  const Words* words;
  std::string_view text(std::string_view word) const { return word; }
  std::string_view text(std::uint32_t i) const { return (*words)[i]; }
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
  boost::unordered_flat_set<std::uint32_t, word_counts_detail::WordHash, word_counts_detail::WordEq> index_;
};

}  // namespace wordloom
