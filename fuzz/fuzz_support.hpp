// Shared by the fuzz targets: cutting an input into fields, a scratch
// directory, and the checks a target makes on what the core returns.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_tokenizer.hpp"
#include "utf8.hpp"

namespace wordloom::fuzz {

// The input cut at 0xFF bytes, which valid UTF-8 never holds: every field can
// then be any UTF-8 text (NUL included), and the fuzzer learns the separator
// from the seeds. With `max_fields`, the last field keeps any further 0xFF.
inline std::vector<std::string_view> split_fields(std::span<const std::uint8_t> input, std::size_t max_fields = 0) {
  const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (std::size_t cut = text.find('\xFF'); cut != std::string_view::npos && fields.size() + 1 != max_fields;
       cut = text.find('\xFF', start)) {
    fields.push_back(text.substr(start, cut - start));
    start = cut + 1;
  }
  fields.push_back(text.substr(start));
  return fields;
}

// Python hands the core only valid UTF-8, so other inputs are not of interest.
inline bool all_valid_utf8(std::span<const std::string_view> fields) {
  for (std::string_view field : fields) {
    if (!is_valid_utf8(field)) return false;
  }
  return true;
}

// A fresh directory under $TMPDIR, removed when the process exits normally.
// The path is never destroyed, so that it outlives the exit handler.
inline const std::filesystem::path& scratch_directory() {
  static const std::filesystem::path* const directory = [] {
    std::string name = (std::filesystem::temp_directory_path() / "wordloom_fuzz_XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_directory(), ignored);
    });
    return new std::filesystem::path(name);
  }();
  return *directory;
}

inline void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A broken invariant: reported like a crash, with the reason.
[[noreturn]] inline void invariant_broken(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) invariant_broken(what);
}

// What every encoding must satisfy, whatever the tables: the three lists
// agree wherever an id has a token, and ids without one add no token.
inline void check_encoding(const BpeTokenizer& tokenizer, const Encoder& encoder, std::string_view text) {
  require(encoder.original_text == text, "original_text is the text");
  require(encoder.tokens.size() == encoder.token_types.size(), "one type per token");
  std::size_t token = 0;
  for (TokenId id : encoder.ids) {
    const std::string* expected = tokenizer.model->token_table.token_of(id);
    if (expected == nullptr) continue;
    require(token < encoder.tokens.size() && encoder.tokens[token] == *expected, "tokens follow ids");
    ++token;
  }
  require(token == encoder.tokens.size(), "no token without an id");
}

// Encodes and decodes `text`; a character without a token is an accepted
// internal failure, which gives no encoding.
inline std::optional<Encoder> encode_and_check(const BpeTokenizer& tokenizer, std::string_view text) {
  try {
    Result<Encoder> encoded = tokenizer.encode(text);
    require(encoded.has_value(), "a trained tokenizer encodes");
    check_encoding(tokenizer, *encoded, text);
    Result<std::string> decoded = tokenizer.decode(encoded->ids);
    require(decoded.has_value() && is_valid_utf8(*decoded), "decoding gives UTF-8");
    return std::move(encoded).value();
  } catch (const InternalFailure&) {
    return std::nullopt;
  }
}

}  // namespace wordloom::fuzz
