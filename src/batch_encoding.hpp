// Encoding many texts at once on the calling thread and short-lived worker
// threads.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "bpe_tokenizer.hpp"

namespace wordloom {

// The ids of every text of a batch, one text after the other.
struct EncodedBatch {
  std::vector<TokenId> ids;
  // One more entry than texts: text i has ids[offsets[i]] to ids[offsets[i + 1]].
  std::vector<std::uint64_t> offsets;
};

// Text `index` of a batch holds a character that has no token.
class UnknownCharacterInText : public std::runtime_error {
 public:
  UnknownCharacterInText(std::size_t index, const UnknownCharacter& cause);
  std::size_t index() const { return index_; }

 private:
  std::size_t index_;
};

// How often the calling thread runs its interrupt check while workers encode.
inline constexpr std::chrono::milliseconds kBatchInterruptInterval{100};

// Encodes each text with `model` on up to `threads` (at least 1) threads, the
// calling one among them, all joined before the call returns; the result is
// the same for every thread count. The calling thread runs `check_interrupt`
// every few milliseconds (at most kBatchInterruptInterval apart once its own
// share is done); when it throws, the other threads stop and the exception
// goes on. When texts fail, the first failing one in input order decides what
// is thrown: UnknownCharacterInText, or whatever encoding it threw.
EncodedBatch encode_batch(const Model& model, std::span<const std::string_view> texts, unsigned threads,
                          const InterruptCheck& check_interrupt);

// Receives, on the calling thread, the ids of texts first_text, first_text + 1,
// ...: text first_text + i has ids[ends[i - 1]] to ids[ends[i]] (from ids[0]
// for i = 0). The spans last until the sink returns.
using EncodedTextsSink = std::function<void(std::size_t first_text, std::span<const TokenId> ids,
                                            std::span<const std::size_t> ends)>;

// encode_batch handing the ids of each run of consecutive texts to `sink` as
// soon as they are encoded, in no particular order, rather than all at the
// end. Once a text has failed, nothing more is handed over. When the sink
// throws, the other threads stop and the exception goes on.
void encode_batch(const Model& model, std::span<const std::string_view> texts, unsigned threads,
                  const InterruptCheck& check_interrupt, const EncodedTextsSink& sink);

}  // namespace wordloom
