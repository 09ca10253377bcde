// Encoding many texts at once on short-lived worker threads, while the calling
// thread stays free to notice interrupts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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

// Encodes each text with `model` on up to `threads` (at least 1) threads, all
// joined before the call returns; the result is the same for every thread
// count. The calling thread only waits, calling `check_interrupt` every
// kBatchInterruptInterval; when it throws, the workers stop and the exception
// goes on. When texts fail, the first failing one in input order decides what
// is thrown: UnknownCharacterInText, or whatever encoding it threw.
EncodedBatch encode_batch(const Model& model, std::span<const std::string_view> texts, unsigned threads,
                          const InterruptCheck& check_interrupt);

}  // namespace wordloom
