// libFuzzer target: any bytes given as a Pianocorder data file must load or
// be refused with a result code, and a loaded file must replay without
// touching a byte outside its frames.

#include <cstddef>
#include <cstdint>

#include "readers/pianocorder_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tonvelo::PianocorderFile file;
  if (tonvelo::pianocorder_parse(data, size, file) != tonvelo::OpenResult::kOpened) return 0;
  if (file.frameCount == 0 || file.frames.size() != size_t{file.frameCount} * 16) __builtin_trap();
  // What the replay reads: every frame in order, the first and last again
  // for the idle frames.
  volatile uint32_t sink = file.Frame(0)[15] + file.Frame(file.frameCount - 1)[0];
  for (uint32_t i = 0; i < file.frameCount; ++i) {
    for (uint32_t k = 0; k < 16; ++k) sink = sink + file.Frame(i)[k];
  }
  if (tonvelo::pianocorder_build(file).size() != 32 + file.frames.size()) __builtin_trap();
  return 0;
}
