// libFuzzer target: any bytes in a song's ".tags.txt" must give fields of the
// promised shape, and both tagging writers must take those fields (or refuse
// them) with a result code, never a crash or a read outside a buffer.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "audio/pcm_out_flac.h"
#include "audio/pcm_out_mp3.h"
#include "audio/tags_file.h"

namespace {

template <typename Writer>
void OpenWriter(const std::string& tagsPath, const std::string& outPath) {
  Writer writer;
  static const int16_t kFrames[4] = {0, -1, 32767, -32768};
  if (writer.Open(outPath, 44100, "fuzz", tagsPath, false, false) == tonvelo::AudioResult::kOk)
    (void)writer.WriteFrames(kFrames, 2);
  (void)writer.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string base = "/tmp/tonvelo-fuzz-tags-" + std::to_string(::getpid());
  static const std::string tagsPath = base + ".tags.txt";
  std::FILE* f = std::fopen(tagsPath.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) return 0;

  std::vector<std::string> fields;
  if (!tonvelo::tags_file_read_fields(tagsPath, fields)) __builtin_trap();
  for (const std::string& field : fields) {
    // "XXXX=" and a value, one piece of one line.
    if (field.size() < 6 || field.size() >= tonvelo::kTagLineBytes || field[4] != '=' ||
        field.find_first_of("\r\n") != std::string::npos) {
      __builtin_trap();
    }
    // Text that is not UTF-8 is taken as Latin-1, which always reads back.
    std::u16string text;
    if (!tonvelo::tags_utf8_to_utf16(field, text) &&
        !tonvelo::tags_utf8_to_utf16(tonvelo::tags_latin1_to_utf8(field), text)) {
      __builtin_trap();
    }
  }
  OpenWriter<tonvelo::CPCMOut_MP3>(tagsPath, base + ".out");
  OpenWriter<tonvelo::CPCMOut_FLAC>(tagsPath, base + ".out");
  return 0;
}
