#include "file_reading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace wordloom {
namespace {

unexpected<FileReadError> failed(FileReadError::Stage stage, int error_number) {
  return unexpected<FileReadError>(FileReadError{stage, error_number});
}

}  // namespace

expected<RegularFile, FileReadError> RegularFile::open(const std::string& path) {  // Non-blocking, so that opening a FIFO without a writer returns at once.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return failed(FileReadError::Stage::Opening, errno);
  RegularFile file(fd, 0);  // closes the descriptor on every way out
  struct stat status {};
  if (::fstat(fd, &status) != 0) return failed(FileReadError::Stage::Opening, errno);
  if (S_ISDIR(status.st_mode)) return failed(FileReadError::Stage::Reading, EISDIR);
  if (!S_ISREG(status.st_mode)) return failed(FileReadError::Stage::Opening, EINVAL);
  file.size_ = static_cast<std::uint64_t>(status.st_size);
  return file;
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_) {}

RegularFile::~RegularFile() {
  if (fd_ >= 0) ::close(fd_);
}

expected<std::size_t, FileReadError> RegularFile::append_to(std::string& buffer, std::size_t max_bytes) {
  const std::size_t old_size = buffer.size();
  buffer.resize(old_size + max_bytes);
  ssize_t n;
  do {
    n = ::read(fd_, buffer.data() + old_size, max_bytes);
  } while (n < 0 && errno == EINTR);
  const int error_number = errno;
  buffer.resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  if (n < 0) return failed(FileReadError::Stage::Reading, error_number);
  return static_cast<std::size_t>(n);
}

expected<void, FileReadError> read_regular_file(const std::string& path, std::string& content) {
  expected<RegularFile, FileReadError> file = RegularFile::open(path);
  if (!file) return unexpected<FileReadError>(file.error());
  // Up to one byte beyond the expected size, so that the end shows without
  // growing; beyond that, should the file have grown, a block at a time. No
  // more room is asked for than that: each byte of room is zeroed first, and
  // `content` may have room for a far larger file read before.
  content.clear();
  const auto expected_size = static_cast<std::size_t>(file->size_at_opening());
  content.reserve(expected_size + 1);
  for (;;) {
    const std::size_t room = content.size() <= expected_size ? expected_size + 1 - content.size() : 1 << 16;
    expected<std::size_t, FileReadError> read = file->append_to(content, room);
    if (!read) return unexpected<FileReadError>(read.error());
    if (*read == 0) return {};
  }
}

}  // namespace wordloom
