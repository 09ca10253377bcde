#include "word_counts_state.hpp"

#include "state_bytes.hpp"
#include "utf8.hpp"

namespace wordloom {
namespace {

// "WLC" and a format version.
constexpr std::string_view kMagic = "WLC\x01";

// Lengths and counts are varints: most words are short and rare.
void write_text(StateWriter& out, std::string_view text) {
  out.varint(text.size());
  out.raw(text);
}

std::string_view read_text(StateReader& in) {
  const std::string_view text = in.raw(in.varint_count(1));
  if (!is_valid_utf8(text)) throw Truncated{};
  return text;
}

// Whether `word` is one whole word as the pre-tokenizer cuts them.
bool is_one_word(PreTokenization kind, std::string_view word) {
  std::size_t words = 0;
  bool whole = false;
  for_each_word(kind, word, [&](std::string_view piece) {
    ++words;
    whole = piece.size() == word.size();
  });
  return words == 1 && whole;
}

CorpusSettings read_settings(StateReader& in) {
  CorpusSettings settings;
  const std::uint8_t pre_tokenizer = in.u8();
  const std::uint8_t removal_method = in.u8();
  if (pre_tokenizer > 1 || removal_method > 1) throw Truncated{};
  settings.pre_tokenizer = static_cast<PreTokenization>(pre_tokenizer);
  settings.special_token_removal_method = static_cast<SpecialTokenRemovalMethod>(removal_method);
  settings.special_tokens.resize(in.varint_count(1));
  for (std::string& token : settings.special_tokens) token = std::string(read_text(in));
  return settings;
}

}  // namespace

std::string encode_word_counts_state(const CountedCorpus& corpus) {
  StateWriter out;
  out.raw(kMagic);
  out.u8(static_cast<std::uint8_t>(corpus.settings.pre_tokenizer));
  out.u8(static_cast<std::uint8_t>(corpus.settings.special_token_removal_method));
  out.varint(corpus.settings.special_tokens.size());
  for (const std::string& token : corpus.settings.special_tokens) write_text(out, token);
  out.varint(corpus.counts.size());
  for (std::size_t i = 0; i < corpus.counts.size(); ++i) {
    write_text(out, corpus.counts.word(i));
    out.varint(corpus.counts.count(i));
  }
  return out.take();
}

expected<CountedCorpus, std::string> decode_word_counts_state(std::string_view state) {
  using Failure = unexpected<std::string>;
  if (!state.starts_with(kMagic)) return Failure("not a wordloom word counts state");
  StateReader in(state.substr(kMagic.size()));
  try {
    CountedCorpus corpus{read_settings(in), WordCounts()};
    const std::size_t words = in.varint_count(3);  // a word takes its length, a byte and its count at least
    for (std::size_t i = 0; i < words; ++i) {
      const std::string_view word = read_text(in);
      const std::uint64_t count = in.varint();
      if (count == 0 || !is_one_word(corpus.settings.pre_tokenizer, word)) throw Truncated{};
      corpus.counts.add(word, count);
      if (corpus.counts.size() != i + 1) return Failure("a wordloom word counts state listing a word twice");
    }
    if (!in.at_end()) return Failure("a wordloom word counts state with trailing bytes");
    return corpus;
  } catch (const Truncated&) {
    return Failure("a truncated or corrupt wordloom word counts state");
  }
}

}  // namespace wordloom
