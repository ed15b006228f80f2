// libFuzzer target: any bytes given as an MP3 accompaniment (ID3v2 tags, MPEG
// frames, junk) must open or fail cleanly, and each reading pass must deliver
// exactly the length that Open counted.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "audio/pcm_in_mp3.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The reader takes a path, as the conversion gives it one.
  static const std::string path = "/tmp/tonvelo_fuzz_mp3_" + std::to_string(::getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) return 0;
  static tonvelo::CPCMIn_MP3 reader;  // its 2 MiB of buffers are made once
  if (reader.Open(path) != tonvelo::AudioResult::kOk) return 0;
  for (int pass = 0; pass < 2; ++pass) {
    tonvelo::PcmFrame frame;
    for (uint32_t i = 0; i < reader.GetLength(); ++i) {
      if (reader.ReadFrame(frame) != tonvelo::AudioResult::kOk) __builtin_trap();
    }
    if (reader.Rewind() != tonvelo::AudioResult::kOk) __builtin_trap();
  }
  return 0;
}
