// Counting the words of a corpus in bounded memory: the text is taken a chunk
// at a time, each chunk ending where a cut changes nothing, cleaned of the
// special tokens and counted; only the distinct words stay.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer.hpp"
#include "expected.hpp"
#include "special_tokens.hpp"
#include "word_counts.hpp"

namespace wordloom {

// How a corpus becomes words. Counts made with different settings do not add up.
struct CorpusSettings {
  PreTokenization pre_tokenizer = PreTokenization::Whitespace;
  std::vector<std::string> special_tokens;
  SpecialTokenRemovalMethod special_token_removal_method = SpecialTokenRemovalMethod::Simple;

  friend bool operator==(const CorpusSettings&, const CorpusSettings&) = default;
};

inline CorpusSettings corpus_settings_of(const Config& config) {
  return {config.pre_tokenizer, config.special_tokens, config.special_token_removal_method};
}

struct CorpusReadError {
  enum class Kind : std::uint8_t { System, InvalidUtf8 };
  Kind kind;
  int error_number = 0;           // System: errno
  std::uint64_t byte_offset = 0;  // InvalidUtf8: where the first malformed sequence starts
};

// Where a corpus may be cut into chunks that are cleaned and counted one after
// another with exactly the result of the whole text: right after a white-space
// character c that no special token contains.
//
// Text and tokens are UTF-8, so a match covers whole characters and none covers
// c. Let the text be L + R with L ending in c.
// - Simple: a pass deletes the leftmost non-overlapping occurrences of one
//   token; none spans the cut, so the pass over L + R is the pass over L
//   followed by the pass over R, and L's result still ends in c. By induction
//   over the passes, the result is clean(L) + clean(R).
// - Aho-Corasick: the scan restarts after each match and reports the match
//   that ends first among those starting at the restart or later. While one
//   lies inside L it is the match that scanning L alone reports; once none
//   does, the next one cannot contain c, so it starts in R and is R's first.
//   Again the result is clean(L) + clean(R).
// (An empty token changes nothing in either method, whole or in chunks.)
// clean(L) ends in the white space c, so no word spans the cut, and counting
// clean(L) then clean(R) counts the words of the whole in their order.
//
// Without such a character the chunk grows until one comes, at worst to the
// whole text (a token holding every kind of white space the text has).
class ChunkCuts {
 public:
  explicit ChunkCuts(std::span<const std::string> special_tokens);

  // The last cut in `text` after a character starting at `from` or later.
  std::optional<std::size_t> last(std::string_view text, std::size_t from) const;
  // A white-space character that may end a document, so that documents can be
  // joined by it; none when each candidate occurs in some special token.
  std::optional<std::string_view> separator() const { return separator_; }

 private:
  // The length of the white-space character at `pos` that a cut may follow, else 0.
  std::size_t cut_after(std::string_view text, std::size_t pos) const;

  std::vector<char32_t> in_special_tokens_;  // white space that some special token contains
  std::optional<std::string_view> separator_;
};

// Time spent in the two stages of counting, summed over all chunks.
struct CountingTimes {
  std::chrono::nanoseconds removal{0};  // the matcher's construction included
  std::chrono::nanoseconds counting{0};
};

// Counts documents one after another into one set of word counts. The end
// of a document is a word boundary, and special tokens never span two.
class CorpusCounter {
 public:
  // `options` must outlive the counter.
  CorpusCounter(CorpusSettings settings, const TrainingOptions& options);

  // Counts a document of valid UTF-8. Short documents are gathered and
  // counted a chunk at a time.
  void count_text(std::string_view document);
  // Counts the file at `path` as one document, reading a chunk at a time.
  // On failure the counts hold an unknown part of the file.
  expected<void, CorpusReadError> count_file(const std::string& path);

  // The counts of everything given; the counter is done with then.
  WordCounts finish();
  const CountingTimes& times() const { return times_; }

 private:
  void count_gathered();
  void count_document(std::string_view text);
  std::size_t chunk_end(std::string_view text) const;
  void count_chunk(std::string_view chunk);
  std::string without_special_tokens(std::string_view chunk) const;

  CorpusSettings settings_;
  const TrainingOptions& options_;
  std::size_t chunk_bytes_;
  ChunkCuts cuts_;
  std::optional<AhoCorasick> matcher_;
  std::string gathered_;  // short documents, each followed by the separator
  WordCounts counts_;
  CountingTimes times_;
  std::uint64_t bytes_counted_ = 0;
};

}  // namespace wordloom
