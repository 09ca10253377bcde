#include "file_reading.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace wordloom {
namespace {

// Closes the descriptor whatever way the read ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

unexpected<FileReadError> failed(FileReadError::Stage stage, int error_number) {
  return unexpected<FileReadError>(FileReadError{stage, error_number});
}

}  // namespace

expected<std::string, FileReadError> read_regular_file(const std::string& path) {
  std::string content;
  if (expected<void, FileReadError> read = read_regular_file(path, content); !read) {
    return unexpected<FileReadError>(read.error());
  }
  return content;
}

expected<void, FileReadError> read_regular_file(const std::string& path, std::string& content) {
  // Non-blocking, so that opening a FIFO without a writer returns at once.
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return failed(FileReadError::Stage::Opening, errno);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return failed(FileReadError::Stage::Opening, errno);
  if (S_ISDIR(status.st_mode)) return failed(FileReadError::Stage::Reading, EISDIR);
  if (!S_ISREG(status.st_mode)) return failed(FileReadError::Stage::Opening, EINVAL);

  // One byte beyond the expected size, so that the end shows without growing.
  content.resize(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t length = 0;
  for (;;) {
    if (length == content.size()) content.resize(2 * content.size());
    const ssize_t n = ::read(file.get(), content.data() + length, content.size() - length);
    if (n > 0) {
      length += static_cast<std::size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return failed(FileReadError::Stage::Reading, errno);
    }
  }
  content.resize(length);
  return {};
}

}  // namespace wordloom
