// Reading a JSON file through a tree of shapes (json_shapes.hpp).
#pragma once

#include <string>

#include "json_shapes.hpp"
#include "tokenizer_error.hpp"

namespace wordloom::json {

// Reads the one JSON value in `path` through `root`; only white space may
// follow it. FileError when the file cannot be opened; JsonError for a failed
// read, malformed JSON (NUL bytes and a byte-order mark included), a value that
// `root` rejects, or trailing text. Messages end with "at line {l} column {c}",
// the column counting the bytes read on that line.
Result<void> read_json_file(const std::string& path, Shape& root);

// The two halves of read_json_file: reading the text of `path` into `text`
// (its storage reused), and reading such a text through `root`.
Result<void> read_json_file_text(const std::string& path, std::string& text);
Result<void> read_json_text(std::string_view text, Shape& root);

}  // namespace wordloom::json
