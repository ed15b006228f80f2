// libFuzzer target: any bytes given to the MIDI reader must end in a result
// code, never a crash, hang or read outside the file.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "readers/smf2mid.h"
#include "tests/fuzz/fuzz_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tonvelo::CSMF2MID reader;
  if (reader.OpenBuffer(std::vector<uint8_t>(data, data + size)) != tonvelo::OpenResult::kOpened) {
    return 0;
  }
  tonvelo::fuzz::Exercise(reader, size);
  return 0;
}
