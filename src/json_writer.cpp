#include "json_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <utility>

#include "text_escape.hpp"

namespace wordloom {
namespace {

constexpr std::size_t kFlushThreshold = 64 * 1024;

}  // namespace

Result<JsonFileWriter> JsonFileWriter::create(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail(TokenizerError::file_error(errno));
  return JsonFileWriter(fd);
}

JsonFileWriter::JsonFileWriter(JsonFileWriter&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      write_error_(other.write_error_),
      buffer_(std::move(other.buffer_)),
      open_containers_have_items_(std::move(other.open_containers_have_items_)),
      after_key_(other.after_key_) {}

JsonFileWriter::~JsonFileWriter() {
  if (fd_ >= 0) ::close(fd_);
}

void JsonFileWriter::begin_object() { open_container('{'); }
void JsonFileWriter::end_object() { close_container('}'); }
void JsonFileWriter::begin_array() { open_container('['); }
void JsonFileWriter::end_array() { close_container(']'); }

void JsonFileWriter::key(std::string_view name) {
  begin_item();
  append_string(name);
  buffer_ += ": ";
  after_key_ = true;
}

void JsonFileWriter::value(std::string_view text) {
  begin_item();
  append_string(text);
  flush_if_full();
}

void JsonFileWriter::value(std::uint64_t number) {
  begin_item();
  char digits[20];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), number).ptr;
  buffer_.append(digits, end);
  flush_if_full();
}

Result<void> JsonFileWriter::finish() {
  flush();
  // Closing reports nothing: every byte has been handed to write(2) already.
  ::close(std::exchange(fd_, -1));
  if (write_error_ != 0) return fail(TokenizerError::json_io_error(write_error_));
  return {};
}

void JsonFileWriter::begin_item() {
  if (std::exchange(after_key_, false) || open_containers_have_items_.empty()) return;
  buffer_ += open_containers_have_items_.back() ? ",\n" : "\n";
  open_containers_have_items_.back() = true;
  buffer_.append(2 * open_containers_have_items_.size(), ' ');
}

void JsonFileWriter::open_container(char bracket) {
  begin_item();
  buffer_ += bracket;
  open_containers_have_items_.push_back(false);
}

void JsonFileWriter::close_container(char bracket) {
  const bool has_items = open_containers_have_items_.back();
  open_containers_have_items_.pop_back();
  if (has_items) {
    buffer_ += '\n';
    buffer_.append(2 * open_containers_have_items_.size(), ' ');
  }
  buffer_ += bracket;
  flush_if_full();
}

void JsonFileWriter::append_string(std::string_view text) {
  buffer_ += '"';
  append_escaped(buffer_, text, EscapeStyle::JsonString);
  buffer_ += '"';
}

void JsonFileWriter::flush_if_full() {
  if (buffer_.size() >= kFlushThreshold) flush();
}

void JsonFileWriter::flush() {
  for (std::size_t written = 0; write_error_ == 0 && written < buffer_.size();) {
    const ssize_t n = ::write(fd_, buffer_.data() + written, buffer_.size() - written);
    if (n >= 0) {
      written += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      write_error_ = errno;
    }
  }
  buffer_.clear();
}

}  // namespace wordloom
