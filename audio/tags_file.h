#pragma once
// The tags file beside a music file ("song.tags.txt"): one ID3v2 field per
// line, a four-character frame id, "=" and the value, in UTF-8. Both tagging
// writers read it here, so an MP3 and a FLAC of the same song carry the same
// lines; and the text helpers they share to store those values.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tonvelo {

constexpr size_t kTagLineBytes = 1024;

// Appends each valid "XXXX=value" line to `fields`; false when the file does
// not open. Lines are raw bytes read in pieces of at most 1023 bytes, each
// piece judged on its own; a line ends at its first LF or CR; a UTF-8
// byte-order mark is skipped at the start of any line; a field needs "=" as
// its fifth byte and at least one byte of value.
[[nodiscard]] bool tags_file_read_fields(const std::filesystem::path& tagsPath,
                                         std::vector<std::string>& fields);

bool tags_is_ascii(std::string_view text);
// False (and `out` unspecified) when `text` is not well-formed UTF-8.
[[nodiscard]] bool tags_utf8_to_utf16(std::string_view text, std::u16string& out);
// Bytes that are not well-formed UTF-8 are taken as Latin-1, the way an ID3
// frame without an encoding byte shows them.
std::string tags_latin1_to_utf8(std::string_view text);

}  // namespace tonvelo
