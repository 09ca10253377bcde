#include "word_counts.hpp"

#include <limits>

namespace wordloom {

WordCounts::WordCounts()
    : words_(std::make_unique<word_counts_detail::Words>()),
      index_(0, word_counts_detail::EntryHash{}, word_counts_detail::EntryEq{words_.get()}) {}

void WordCounts::add(std::string_view word, std::uint64_t count) {
  const word_counts_detail::Lookup lookup(word);
  if (auto found = index_.find(lookup); found != index_.end()) {
    counts_[static_cast<std::uint32_t>(*found)] += count;
    return;
  }
  if (counts_.size() == std::numeric_limits<std::uint32_t>::max()) {
    internal_failure("the corpus has too many distinct words to count");
  }
  words_->bytes.append(word);
  words_->ends.push_back(words_->bytes.size());
  counts_.push_back(count);
  index_.insert(lookup.entry(static_cast<std::uint32_t>(counts_.size() - 1)));
}

void WordCounts::add_all(const WordCounts& other) {
  for (std::size_t i = 0; i < other.size(); ++i) add(other.word(i), other.count(i));
}

bool operator==(const WordCounts& a, const WordCounts& b) {
  return a.counts_ == b.counts_ && a.words_->ends == b.words_->ends && a.words_->bytes == b.words_->bytes;
}

}  // namespace wordloom
