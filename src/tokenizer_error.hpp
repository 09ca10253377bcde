// The core's one error type: eight kinds with fixed display texts, and the
// internal-failure exception for states that valid data never reaches.
#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

#include "expected.hpp"

namespace wordloom {

using TokenId = std::uint32_t;

class TokenizerError {
 public:
  enum class Kind : std::uint8_t {
    MissingOutputDirectory = 0,
    FileError = 1,
    JsonError = 2,
    MissingModelFile = 3,
    InvalidModelDirectory = 4,
    InvalidState = 5,
    IdNotFound = 6,
    TokenNotFound = 7,
    // Not one of the persisted kinds: the corpus could not be read as UTF-8
    // text. Its display text is the reason alone.
    UnreadableCorpus = 8,
  };

  static TokenizerError missing_output_directory();
  // An operating-system error, described as "{strerror} (os error {errno})".
  static TokenizerError file_error(int error_number);
  // A JSON reading or writing error; the text follows the fixed prefix.
  static TokenizerError json_error(std::string message);
  // A JSON file that could not be read or written to its end: a JsonError
  // carrying the operating-system error's text.
  static TokenizerError json_io_error(int error_number);
  static TokenizerError missing_model_file(std::string_view file_name);
  static TokenizerError invalid_model_directory(std::string_view path);
  static TokenizerError invalid_state(std::string message);
  static TokenizerError id_not_found(std::string_view token);
  static TokenizerError token_not_found_for_id(TokenId id);
  static TokenizerError token_not_in_encoding(std::string_view token);
  static TokenizerError unreadable_corpus(std::string reason);

  Kind kind() const { return kind_; }
  // The only text an error ever shows.
  const std::string& display() const { return display_; }

  // Context for callers that report errors in their own way; display() never
  // shows it. The operating-system error (errno) behind this one, or 0:
  int os_error_number() const { return os_error_number_; }
  // The file or directory the error concerns, or empty when unknown:
  const std::string& path() const { return path_; }
  TokenizerError with_path(std::string path) &&;
  TokenizerError with_os_error(int error_number) &&;

 private:
  TokenizerError(Kind kind, std::string display) : kind_(kind), display_(std::move(display)) {}

  Kind kind_;
  std::string display_;
  int os_error_number_ = 0;
  std::string path_;
};

template <typename T>
using Result = expected<T, TokenizerError>;

inline unexpected<TokenizerError> fail(TokenizerError error) {
  return unexpected<TokenizerError>(std::move(error));
}

// "{strerror} (os error {errno})", the text of an operating-system error.
std::string os_error_text(int error_number);

// Thrown for a state that valid data never reaches (a token id without a
// string, a malformed pair key, ...). The Python layer turns it into
// PanicException; it never ends the process.
class InternalFailure : public std::runtime_error {
 public:
  InternalFailure(const std::string& message, std::source_location where)
      : std::runtime_error(message), message_(message), where_(where) {}
  // The whole message; what() ends at a NUL inside it (a character quoted from a text).
  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// A character of a text to encode that has no token of its own. Encoding one
// text reports it as an internal failure; a batch names the text instead.
class UnknownCharacter : public InternalFailure {
 public:
  using InternalFailure::InternalFailure;
};

[[noreturn]] void internal_failure(
    const std::string& message, std::source_location where = std::source_location::current());

}  // namespace wordloom
