#include "cli/terminal_text.h"

#include <cstdint>

namespace tonvelo {

namespace {

// Length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
size_t SequenceLength(std::string_view text, size_t at) {
  const auto lead = static_cast<uint8_t>(text[at]);
  size_t length;
  char32_t c;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto b = static_cast<uint8_t>(text[at + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates, code points past U+10FFFF, and the C1
  // controls, which some terminals obey as escape sequences.
  static constexpr char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMinimum[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF || c < 0xA0) return 0;
  return length;
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<uint8_t>(text[i]);
    const bool control = (byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F;
    const size_t length = control ? 0 : SequenceLength(text, i);
    if (length == 0) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
      ++i;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  return out;
}

}  // namespace tonvelo
