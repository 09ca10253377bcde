// Reading a regular file, whole or piece by piece, for the corpus and the
// model files alike.
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

// A regular file open for reading. Anything else that opens is refused
// before a byte is read: a FIFO could block forever and a device such as
// /dev/zero never ends (EINVAL at opening); a directory fails at reading
// (EISDIR), as the system reports it.
class RegularFile {
 public:
  static expected<RegularFile, FileReadError> open(const std::string& path);

  RegularFile(RegularFile&& other) noexcept;
  RegularFile& operator=(RegularFile&&) = delete;
  ~RegularFile();

  // The size when the file was opened; it may change while it is read.
  std::uint64_t size_at_opening() const { return size_; }
  // Reads at most `max_bytes` more and appends them to `buffer`; 0 only at
  // the end of the file.
  expected<std::size_t, FileReadError> append_to(std::string& buffer, std::size_t max_bytes);

 private:
  RegularFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  int fd_;
  std::uint64_t size_;
};

// The whole content of the regular file at `path`, read into `content`, whose
// storage is reused: reading several files into one string touches fresh
// memory only for the largest.
expected<void, FileReadError> read_regular_file(const std::string& path, std::string& content);

}  // namespace wordloom
