#include "tokenizer_error.hpp"

#include <cstring>

namespace wordloom {

std::string os_error_text(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

TokenizerError TokenizerError::missing_output_directory() {
  return {Kind::MissingOutputDirectory, "Output directory not provided but save_model is true"};
}

TokenizerError TokenizerError::file_error(int error_number) {
  return TokenizerError(Kind::FileError, "File Error: " + os_error_text(error_number)).with_os_error(error_number);
}

TokenizerError TokenizerError::json_error(std::string message) {
  return {Kind::JsonError, "Json serialization error " + message};
}

TokenizerError TokenizerError::json_io_error(int error_number) {
  return json_error(os_error_text(error_number)).with_os_error(error_number);
}

TokenizerError TokenizerError::missing_model_file(std::string_view file_name) {
  return {Kind::MissingModelFile, std::string(file_name) + " does not exist in the directory provided"};
}

TokenizerError TokenizerError::invalid_model_directory(std::string_view path) {
  return {Kind::InvalidModelDirectory,
          std::string(path) + " directory does not exists or the path provided is not a directory"};
}

TokenizerError TokenizerError::invalid_state(std::string message) {
  return {Kind::InvalidState, std::move(message)};
}

TokenizerError TokenizerError::id_not_found(std::string_view token) {
  return {Kind::IdNotFound, "the id for token " + std::string(token) + " does not exist"};
}

TokenizerError TokenizerError::token_not_found_for_id(TokenId id) {
  return {Kind::TokenNotFound, "the token for id " + std::to_string(id) + " does not exist"};
}

TokenizerError TokenizerError::token_not_in_encoding(std::string_view token) {
  return {Kind::TokenNotFound, "the token " + std::string(token) + " does not exists"};
}

TokenizerError TokenizerError::unreadable_corpus(std::string reason) {
  return {Kind::UnreadableCorpus, std::move(reason)};
}

TokenizerError TokenizerError::with_path(std::string path) && {
  path_ = std::move(path);
  return std::move(*this);
}

TokenizerError TokenizerError::with_os_error(int error_number) && {
  os_error_number_ = error_number;
  return std::move(*this);
}

void internal_failure(const std::string& message, std::source_location where) {
  throw InternalFailure(message, where);
}

}  // namespace wordloom
