// The one translation unit that includes nlohmann/json: its SAX parser (which
// is iterative, so nesting depth costs no stack) feeds the shapes.
#include "json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <nlohmann/json.hpp>
#include <utility>

#include "file_reading.hpp"
#include "utf8.hpp"
#include "text_escape.hpp"

namespace wordloom::json {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// A pointer into the text that publishes how far the parser has read, so that
// the errors the shapes find can be placed.
class TrackingCursor {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingCursor(const char* at, const char** read_end) : at_(at), read_end_(read_end) {}

  reference operator*() const { return *at_; }
  TrackingCursor& operator++() {
    *read_end_ = ++at_;
    return *this;
  }
  TrackingCursor operator++(int) {
    TrackingCursor before = *this;
    ++*this;
    return before;
  }
  bool operator==(const TrackingCursor& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const char** read_end_;
};

// Receives the parser's events and hands each value to the shape its position
// calls for. The first error stops the parse and is kept with its position.
class DocumentReader final : public Reader {
 public:
  DocumentReader(std::string_view text, Shape& root) : text_(text), read_end_(text.data()), root_(&root) {}

  // True when the whole text was read through the shapes.
  bool read() {
    const char* begin = text_.data();
    return nlohmann::json::sax_parse(TrackingCursor(begin, &read_end_),
                                     TrackingCursor(begin + text_.size(), &read_end_), this);
  }
  const std::string& error_message() const { return error_message_; }
  // The bytes read when the error was found.
  std::size_t error_offset() const { return error_offset_; }

  // Reader
  void push(ArrayContents& contents) override { open_.push_back({&contents, nullptr}); }
  void push(ObjectContents& contents) override { open_.push_back({nullptr, &contents}); }
  void skip_contents() override { skip_depth_ = 1; }
  bool fail(std::string message) override {
    error_message_ = std::move(message);
    error_offset_ = read_offset();
    return false;
  }

  // SAX events of nlohmann::json
  bool null() { return deliver({Scalar::Kind::Null, 0, "null"}); }
  bool boolean(bool value) { return deliver({Scalar::Kind::Boolean, 0, value ? "true" : "false"}); }
  bool number_unsigned(std::uint64_t value) { return deliver_number({Scalar::Kind::Unsigned, value, {}}); }
  bool number_integer(std::int64_t value) {
    // Every integer written with a minus sign arrives here; -0 is still 0.
    if (value == 0) return number_unsigned(0);
    char digits[24];
    const char* end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    return deliver_number({Scalar::Kind::OtherInteger, 0, std::string_view(digits, end)});
  }
  bool number_float(double, const std::string& written) {
    // Integers too large for 64 bits arrive here as well.
    const bool integral = written.find_first_of(".eE") == std::string::npos;
    return deliver_number({integral ? Scalar::Kind::OtherInteger : Scalar::Kind::Float, 0, written});
  }
  bool string(std::string& value) { return deliver({Scalar::Kind::String, 0, value}); }
  bool binary(nlohmann::json::binary_t&) { return false; }  // JSON text has no binary values

  bool start_object(std::size_t) {
    if (enter_skipped()) return true;
    Shape* shape = next_shape();
    return shape != nullptr && shape->begin_object(*this);
  }
  bool key(std::string& name) {
    if (skip_depth_ > 0) return true;
    member_shape_ = open_.back().object->member(*this, name);
    return member_shape_ != nullptr;
  }
  bool end_object() {
    if (leave_skipped()) return true;
    ObjectContents& contents = *open_.back().object;
    open_.pop_back();
    return contents.end_object(*this);
  }
  bool start_array(std::size_t) {
    if (enter_skipped()) return true;
    Shape* shape = next_shape();
    return shape != nullptr && shape->begin_array(*this);
  }
  bool end_array() {
    if (leave_skipped()) return true;
    ArrayContents& contents = *open_.back().array;
    open_.pop_back();
    return contents.end_array(*this);
  }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& error) {
    // The library's text starts with its own tag and position, up to ": ".
    const std::string_view what = error.what();
    const std::size_t tag_end = what.find(": ");
    error_message_ = with_invalid_utf8_shown(tag_end == std::string_view::npos ? what : what.substr(tag_end + 2));
    // The end of input counts as one byte read.
    error_offset_ = std::min(position, text_.size());
    return false;
  }

 private:
  // One open container: exactly one of the two is set.
  struct OpenContainer {
    ArrayContents* array;
    ObjectContents* object;
  };

  // Containers inside a skipped value are only counted.
  bool enter_skipped() {
    if (skip_depth_ == 0) return false;
    ++skip_depth_;
    return true;
  }
  bool leave_skipped() {
    if (skip_depth_ == 0) return false;
    --skip_depth_;
    return true;
  }

  // The shape of the value that starts now.
  Shape* next_shape() {
    if (member_shape_ != nullptr) return std::exchange(member_shape_, nullptr);
    if (open_.empty()) return root_;
    return open_.back().array->next_element(*this);
  }

  bool deliver(const Scalar& value) {
    if (skip_depth_ > 0) return true;
    Shape* shape = next_shape();
    return shape != nullptr && shape->scalar(*this, value);
  }

  bool deliver_number(const Scalar& value) {
    in_number_ = true;
    const bool delivered = deliver(value);
    in_number_ = false;
    return delivered;
  }

  std::size_t read_offset() const {
    auto offset = static_cast<std::size_t>(read_end_ - text_.data());
    // A number is delivered once the byte after it has been read.
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    if (in_number_ && offset > 0 && !is_digit(text_[offset - 1])) --offset;
    return offset;
  }

  std::string_view text_;
  const char* read_end_;
  Shape* root_;
  std::vector<OpenContainer> open_;
  Shape* member_shape_ = nullptr;  // set by a key, taken by the member's value
  std::size_t skip_depth_ = 0;     // containers open inside a skipped value
  bool in_number_ = false;
  std::string error_message_;
  std::size_t error_offset_ = 0;
};

// `message` placed after the first `consumed` bytes of `text`: the line counts
// from 1, the column is the number of bytes read on that line.
TokenizerError json_error_at(std::string_view text, std::size_t consumed, const std::string& message) {
  const std::string_view read = text.substr(0, consumed);
  const auto line = 1 + std::count(read.begin(), read.end(), '\n');
  const std::size_t line_start = read.rfind('\n') + 1;  // npos + 1 == 0: still on the first line
  return TokenizerError::json_error(message + " at line " + std::to_string(line) + " column " +
                                    std::to_string(consumed - line_start));
}

}  // namespace

Result<void> read_json_text(std::string_view text, Shape& root) {
  // The parser would take a NUL byte for the end of input and skip a
  // byte-order mark; neither belongs in a JSON text.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return fail(json_error_at(text, nul + 1, "unexpected NUL byte"));
  }
  if (text.starts_with(kByteOrderMark)) return fail(json_error_at(text, 1, "unexpected byte order mark"));
  DocumentReader reader(text, root);
  if (reader.read()) return {};
  return fail(json_error_at(text, reader.error_offset(), reader.error_message()));
}

// FileError when the file cannot be opened, JsonError when reading fails (a
// directory opens but cannot be read).
Result<void> read_json_file_text(const std::string& path, std::string& text) {
  expected<void, FileReadError> read = read_regular_file(path, text);
  if (read) return {};
  const FileReadError error = read.error();
  if (error.stage == FileReadError::Stage::Opening) {
    return fail(TokenizerError::file_error(error.error_number).with_path(path));
  }
  return fail(TokenizerError::json_io_error(error.error_number).with_path(path));
}

Result<void> read_json_file(const std::string& path, Shape& root) {
  std::string text;
  if (Result<void> read = read_json_file_text(path, text); !read) return read;
  Result<void> parsed = read_json_text(text, root);
  if (!parsed) return fail(std::move(parsed).error().with_path(path));
  return parsed;
}

}  // namespace wordloom::json
