// libFuzzer target: any bytes in a song's ".tags.txt" must give fields of the
// promised shape, and both tagging writers must take those fields (or refuse
// them) with a result code, never a crash or a read outside a buffer.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/pcm_out_flac.h"
#include "audio/pcm_out_mp3.h"
#include "audio/tags_file.h"

namespace {

std::string TempPath(const char* what) {
  return "/tmp/tonvelo-fuzz-tags-" + std::to_string(::getpid()) + what;
}

void CheckField(const std::string& field) {
  // Shape promised to the writers: "XXXX=" and a value, one piece of a line.
  if (field.size() < 6 || field.size() >= tonvelo::kTagLineBytes || field[4] != '=' ||
      field.find_first_of("\r\n") != std::string::npos) {
    __builtin_trap();
  }
  // Latin-1 turned to UTF-8 must always read back as UTF-8.
  std::u16string text;
  if (!tonvelo::tags_utf8_to_utf16(field, text) &&
      !tonvelo::tags_utf8_to_utf16(tonvelo::tags_latin1_to_utf8(field), text)) {
    __builtin_trap();
  }
  if (tonvelo::tags_is_ascii(field) && text.size() != field.size()) __builtin_trap();
}

template <typename Writer>
void OpenWriter(const std::string& tagsPath, const std::string& outPath) {
  Writer writer;
  if (writer.Open(outPath, 44100, "fuzz", tagsPath, false, false) == tonvelo::AudioResult::kOk) {
    static const int16_t kFrames[8] = {0, 1, -1, 2, 100, -100, 32767, -32768};
    (void)writer.WriteFrames(kFrames, 4);
  }
  (void)writer.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string tagsPath = TempPath(".tags.txt");
  static const std::string outPath = TempPath(".out");
  std::FILE* f = std::fopen(tagsPath.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) return 0;

  std::vector<std::string> fields;
  if (!tonvelo::tags_file_read_fields(tagsPath, fields)) __builtin_trap();
  for (const std::string& field : fields) CheckField(field);
  OpenWriter<tonvelo::CPCMOut_MP3>(tagsPath, outPath);
  OpenWriter<tonvelo::CPCMOut_FLAC>(tagsPath, outPath);
  return 0;
}
