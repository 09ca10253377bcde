#include "corpus_counting.hpp"

#include <algorithm>

#include "elapsed_time.hpp"
#include "file_reading.hpp"
#include "pretokenizer.hpp"
#include "utf8.hpp"
#include "worker_pool.hpp"

namespace wordloom {
namespace {

using pretokenizer_detail::whitespace_length;

bool is_continuation_byte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// ---- Counting one chunk on the worker threads ----

using WordIndex = StringKeyedMap<std::string_view, std::uint32_t>;

// The words of one block, pointing into the chunk.
struct DistinctWords {
  std::vector<std::string_view> words;  // in order of first appearance
  std::vector<std::uint64_t> counts;

  void add(WordIndex& index, std::string_view word) {
    auto [slot, inserted] = index.try_emplace(word, static_cast<std::uint32_t>(words.size()));
    if (inserted) {
      words.push_back(word);
      counts.push_back(1);
    } else {
      ++counts[slot->second];
    }
  }
};

// Block boundaries that fall at white space, so that no word spans two blocks.
std::vector<std::size_t> whitespace_block_bounds(std::string_view text, std::size_t blocks) {
  std::vector<std::size_t> bounds{0};
  for (std::size_t block = 1; block < blocks; ++block) {
    std::size_t pos = std::max(bounds.back(), text.size() * block / blocks);
    while (pos < text.size() && is_continuation_byte(text[pos])) ++pos;
    while (pos < text.size() && whitespace_length(text, pos) == 0) {
      pos += utf8_char_length(static_cast<unsigned char>(text[pos]));
    }
    bounds.push_back(pos);
  }
  bounds.push_back(text.size());
  return bounds;
}

// Counts the words of `text` into `counts` in blocks, one round of blocks at
// a time on the worker threads, each block into its own table. The tables
// join the total in block order, so first appearance still decides the order.
void count_distinct_words(PreTokenization kind, std::string_view text, const TrainingOptions& options,
                          WordCounts& counts) {
  const unsigned threads = options.worker_threads == 0 ? default_worker_threads() : options.worker_threads;
  const std::size_t block_bytes = std::max<std::size_t>(1, options.count_block_bytes);
  const std::size_t blocks = std::max<std::size_t>(1, (text.size() + block_bytes - 1) / block_bytes);
  const std::vector<std::size_t> bounds = whitespace_block_bounds(text, blocks);
  for (std::size_t first = 0; first < blocks; first += threads) {
    std::vector<DistinctWords> partial(std::min<std::size_t>(threads, blocks - first));
    fork_join_blocks(partial.size(), threads, 1, [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        const std::size_t block = first + k;
        WordIndex block_index;
        for_each_word(kind, text.substr(bounds[block], bounds[block + 1] - bounds[block]),
                      [&](std::string_view word) { partial[k].add(block_index, word); });
      }
    });
    for (const DistinctWords& part : partial) {
      for (std::size_t i = 0; i < part.words.size(); ++i) counts.add(part.words[i], part.counts[i]);
    }
    check_for_interrupt(options.check_interrupt);
  }
}

constexpr std::size_t kLongestCharacter = 4;  // in bytes, in UTF-8
constexpr std::size_t kSmallestRead = 1 << 16;

}  // namespace

// ---- ChunkCuts ----

ChunkCuts::ChunkCuts(std::span<const std::string> special_tokens) {
  for (const std::string& token : special_tokens) {
    for_each_char(token, [&](std::string_view character) {
      if (whitespace_length(character, 0) != 0) in_special_tokens_.push_back(utf8_code_point(character, 0));
    });
  }
  for (std::string_view candidate : {"\n", " ", "\t"}) {
    if (cut_after(candidate, 0) != 0) {
      separator_ = candidate;
      break;
    }
  }
}

std::size_t ChunkCuts::cut_after(std::string_view text, std::size_t pos) const {
  const std::size_t length = whitespace_length(text, pos);
  if (length == 0) return 0;
  const char32_t space = utf8_code_point(text, pos);
  const bool in_a_token = std::find(in_special_tokens_.begin(), in_special_tokens_.end(), space) !=
                          in_special_tokens_.end();
  return in_a_token ? 0 : length;
}

std::optional<std::size_t> ChunkCuts::last(std::string_view text, std::size_t from) const {
  for (std::size_t pos = text.size(); pos > from;) {
    --pos;
    if (is_continuation_byte(text[pos])) continue;
    if (const std::size_t length = cut_after(text, pos); length != 0) return pos + length;
  }
  return std::nullopt;
}

// ---- CorpusCounter ----

CorpusCounter::CorpusCounter(CorpusSettings settings, const TrainingOptions& options)
    : settings_(std::move(settings)),
      options_(options),
      chunk_bytes_(std::max<std::size_t>(1, options.corpus_chunk_bytes)),
      cuts_(settings_.special_tokens) {
  if (settings_.special_token_removal_method == SpecialTokenRemovalMethod::AhoCorasick &&
      !settings_.special_tokens.empty()) {
    const PhaseClock building;
    matcher_.emplace(settings_.special_tokens);
    times_.removal += building.elapsed();
  }
}

void CorpusCounter::count_text(std::string_view document) {
  const std::optional<std::string_view> separator = cuts_.separator();
  if (!separator || document.size() >= chunk_bytes_ / 2) {
    count_gathered();
    count_document(document);
    return;
  }
  gathered_.append(document).append(*separator);
  if (gathered_.size() >= chunk_bytes_) count_gathered();
}

expected<void, CorpusReadError> CorpusCounter::count_file(const std::string& path) {
  using Failure = unexpected<CorpusReadError>;
  auto system_failure = [](const FileReadError& error) {
    return Failure(CorpusReadError{CorpusReadError::Kind::System, error.error_number, 0});
  };
  count_gathered();
  expected<RegularFile, FileReadError> file = RegularFile::open(path);
  if (!file) return system_failure(file.error());
  std::string buffer;         // text not counted yet
  std::uint64_t offset = 0;   // of buffer[0] in the file
  std::size_t checked = 0;    // buffer[0, checked) is whole characters of valid UTF-8
  std::size_t searched = 0;   // no cut in buffer[0, searched)
  for (;;) {
    check_for_interrupt(options_.check_interrupt);
    // No more than the file still holds, so that a small file costs little.
    const std::uint64_t left = file->size_at_opening() - std::min(file->size_at_opening(), offset + buffer.size());
    const auto wanted = static_cast<std::size_t>(std::clamp<std::uint64_t>(left, kSmallestRead, chunk_bytes_));
    expected<std::size_t, FileReadError> read = file->append_to(buffer, wanted);
    if (!read) return system_failure(read.error());
    const bool at_end = *read == 0;
    checked += valid_utf8_length(std::string_view(buffer).substr(checked));
    // Fewer bytes than a character may still complete one with the next read.
    if (checked < buffer.size() && (at_end || buffer.size() - checked >= kLongestCharacter)) {
      return Failure(CorpusReadError{CorpusReadError::Kind::InvalidUtf8, 0, offset + checked});
    }
    if (at_end) {
      count_chunk(buffer);
      return {};
    }
    const std::optional<std::size_t> cut = cuts_.last(std::string_view(buffer).substr(0, checked), searched);
    searched = checked;
    if (!cut) continue;
    count_chunk(std::string_view(buffer).substr(0, *cut));
    buffer.erase(0, *cut);
    offset += *cut;
    checked -= *cut;
    searched -= *cut;
  }
}

WordCounts CorpusCounter::finish() {
  count_gathered();
  return std::move(counts_);
}

void CorpusCounter::count_gathered() {
  if (gathered_.empty()) return;
  count_chunk(gathered_);
  gathered_.clear();
}

void CorpusCounter::count_document(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = chunk_end(text);
    count_chunk(text.substr(0, end));
    text.remove_prefix(end);
  }
}

// The last cut within chunk_bytes_ of the start, else the first one after, else the end.
std::size_t CorpusCounter::chunk_end(std::string_view text) const {
  std::size_t searched = 0;
  for (std::size_t end = std::min(text.size(), chunk_bytes_); end < text.size();
       end = std::min(text.size(), 2 * end)) {
    if (const std::optional<std::size_t> cut = cuts_.last(text.substr(0, end), searched)) return *cut;
    searched = end;
  }
  return text.size();
}

void CorpusCounter::count_chunk(std::string_view chunk) {
  bytes_counted_ += chunk.size();
  std::string cleaned;
  if (!settings_.special_tokens.empty()) {
    const PhaseClock removal;
    cleaned = without_special_tokens(chunk);
    chunk = cleaned;
    times_.removal += removal.elapsed();
  }
  check_for_interrupt(options_.check_interrupt);
  const PhaseClock counting;
  count_distinct_words(settings_.pre_tokenizer, chunk, options_, counts_);
  times_.counting += counting.elapsed();
  if (options_.observer) options_.observer->corpus_counted(bytes_counted_);
}

std::string CorpusCounter::without_special_tokens(std::string_view chunk) const {
  if (matcher_) return matcher_->remove_all(chunk, options_.check_interrupt);
  return remove_one_token_at_a_time(chunk, settings_.special_tokens, options_.check_interrupt);
}

}  // namespace wordloom
