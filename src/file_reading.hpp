// Reading a whole file, for the corpus and the model files alike.
#pragma once

#include <cstdint>
#include <string>

#include "expected.hpp"

namespace wordloom {

struct FileReadError {
  enum class Stage : std::uint8_t { Opening, Reading };
  Stage stage;
  int error_number;  // errno
};

// The whole content of the regular file at `path`. Anything else that opens
// is refused before a byte is read: a FIFO could block forever and a device
// such as /dev/zero never ends (EINVAL at opening); a directory fails at
// reading (EISDIR), as the system reports it.
expected<std::string, FileReadError> read_regular_file(const std::string& path);

// The same into `content`, whose storage is reused: reading several files
// into one string touches fresh memory only for the largest.
expected<void, FileReadError> read_regular_file(const std::string& path, std::string& content);

}  // namespace wordloom
