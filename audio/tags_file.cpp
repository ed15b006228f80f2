#include "audio/tags_file.h"

#include <cstdio>
#include <cstring>

#include "audio/byte_file.h"

namespace tonvelo {

bool tags_file_read_fields(const std::filesystem::path& tagsPath,
                           std::vector<std::string>& fields) {
  FileHandle handle = kInvalidFile;
  if (tagsPath.empty() || !file_open_read(tagsPath, handle)) return false;
  std::FILE* file = fdopen(handle, "rb");
  if (file == nullptr) {
    file_close(handle);
    return false;
  }
  char line[kTagLineBytes];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (char* end = std::strchr(line, '\n')) *end = '\0';
    if (char* end = std::strchr(line, '\r')) *end = '\0';
    const char* field = line;
    // Editors put a byte-order mark at the start; files joined from several
    // saved ones have it on later lines too.
    if (std::strncmp(field, "\xEF\xBB\xBF", 3) == 0) field += 3;
    if (std::strlen(field) >= 6 && field[4] == '=') fields.emplace_back(field);
  }
  std::fclose(file);
  return true;
}

bool tags_is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

bool tags_utf8_to_utf16(std::string_view text, std::u16string& out) {
  out.clear();
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra;
    char32_t c;
    if (lead < 0x80) {
      extra = 0, c = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, c = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;  // cut off
    for (size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      c = (c << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    static constexpr char32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kMinimum[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += extra + 1;
  }
  return true;
}

std::string tags_latin1_to_utf8(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace tonvelo
