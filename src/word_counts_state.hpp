// Word counts with the settings they were made with, as one compact byte
// string: what a pickled WordCounts carries to another process.
#pragma once

#include <string>
#include <string_view>

#include "corpus_counting.hpp"
#include "expected.hpp"
#include "word_counts.hpp"

namespace wordloom {

// The word counts of a corpus and the settings that made them.
struct CountedCorpus {
  CorpusSettings settings;
  WordCounts counts;
};

std::string encode_word_counts_state(const CountedCorpus& corpus);

// The counts of a byte string made by encode_word_counts_state; a message
// saying what is wrong for anything else, including words that the settings
// could not have produced.
expected<CountedCorpus, std::string> decode_word_counts_state(std::string_view state);

}  // namespace wordloom
