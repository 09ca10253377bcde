#include "text_escape.hpp"

#include <algorithm>

#include "utf8.hpp"

namespace wordloom {
namespace {

// Room for the longest escape of one byte: \u00xx or <0xFB>.
using Scratch = char[6];

// What a scan does at one position: keeps `length` bytes as they are, or
// replaces them by `escape` when that is not empty.
struct Step {
  std::size_t length;
  std::string_view escape;
};

// Copies `text` to `out`, runs of kept bytes in one piece.
template <typename StepAt>
void append_with_escapes(std::string& out, std::string_view text, StepAt step_at) {
  std::size_t kept_from = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const Step step = step_at(pos);
    if (!step.escape.empty()) {
      out.append(text, kept_from, pos - kept_from);
      out += step.escape;
      kept_from = pos + step.length;
    }
    pos += step.length;
  }
  out.append(text, kept_from);
}

std::string_view hex_escape(std::string_view prefix, unsigned char byte, const char* digits,
                            std::string_view suffix, Scratch& scratch) {
  char* end = std::copy(prefix.begin(), prefix.end(), scratch);
  *end++ = digits[byte >> 4];
  *end++ = digits[byte & 0xF];
  end = std::copy(suffix.begin(), suffix.end(), end);
  return {scratch, static_cast<std::size_t>(end - scratch)};
}

// The escape of `byte` in `style`, or an empty view for a byte kept as itself.
std::string_view escape_of(unsigned char byte, EscapeStyle style, Scratch& scratch) {
  switch (byte) {
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    default: break;
  }
  if (style == EscapeStyle::JsonString) {
    switch (byte) {
      case '"': return "\\\"";
      case '\\': return "\\\\";
      case '\b': return "\\b";
      case '\f': return "\\f";
      default: break;
    }
  }
  const bool control = byte < 0x20 || (style == EscapeStyle::OneLine && byte == 0x7F);
  return control ? hex_escape("\\u00", byte, "0123456789abcdef", "", scratch) : std::string_view{};
}

}  // namespace

void append_escaped(std::string& out, std::string_view text, EscapeStyle style) {
  Scratch scratch;
  append_with_escapes(out, text, [&](std::size_t pos) {
    return Step{1, escape_of(static_cast<unsigned char>(text[pos]), style, scratch)};
  });
}

std::string with_invalid_utf8_shown(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  Scratch scratch;
  append_with_escapes(shown, text, [&](std::size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    const std::size_t length = std::min(utf8_char_length(lead), text.size() - pos);
    if (is_valid_utf8(text.substr(pos, length))) return Step{length, {}};
    return Step{1, hex_escape("<0x", lead, "0123456789ABCDEF", ">", scratch)};
  });
  return shown;
}

}  // namespace wordloom
