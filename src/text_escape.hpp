// Escaping text where it is written out: string values of the model files,
// and error messages that quote text read from a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wordloom {

enum class EscapeStyle : std::uint8_t {
  // Inside a JSON string: '"', '\\', \b \t \n \f \r, and the other bytes below
  // 0x20 as \u00xx.
  JsonString,
  // Quoted in a one-line message: \t \n \r, and the other bytes below 0x20
  // and DEL as \u00xx.
  OneLine,
};

// Appends `text` to `out` with the bytes that `style` escapes replaced.
void append_escaped(std::string& out, std::string_view text, EscapeStyle style);

inline std::string escaped(std::string_view text, EscapeStyle style) {
  std::string out;
  append_escaped(out, text, style);
  return out;
}

// `text` with every byte that does not belong to valid UTF-8 shown as <0xFB>,
// so that a message quoting raw input stays text.
std::string with_invalid_utf8_shown(std::string_view text);

}  // namespace wordloom
