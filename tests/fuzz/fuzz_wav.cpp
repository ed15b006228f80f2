// libFuzzer target: any bytes under a ".wav" name given to the accompaniment
// reader must end in a result code, never a crash, hang or read outside the
// file. The reader takes a path, so each input goes through a file on tmpfs.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/pcm_in_wav.h"

namespace {

std::string InputPath() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/tonvelo-fuzz-wav-" +
         std::to_string(getpid()) + ".wav";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = InputPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, f) == size;
  std::fclose(f);
  if (!written) return 0;

  tonvelo::CPCMIn_WAV reader;
  if (reader.Open(path) != tonvelo::AudioResult::kOk) return 0;
  // Two full passes, as the anti-phase scan and the mixing make them, and a
  // read past the end, which must keep failing cleanly.
  volatile int sink = 0;
  for (int pass = 0; pass < 2; ++pass) {
    tonvelo::PcmFrame frame;
    for (uint32_t i = 0; i < reader.GetLength(); ++i) {
      if (reader.ReadFrame(frame) != tonvelo::AudioResult::kOk) break;
      sink = sink + frame.left + frame.right;
    }
    if (reader.ReadFrame(frame) == tonvelo::AudioResult::kOk) sink = sink + frame.left;
    if (reader.Rewind() != tonvelo::AudioResult::kOk) break;
  }
  (void)reader.Close();
  return 0;
}
