// Prints every event the MIDI reader delivers, for comparison with other
// parsers: "file <path> <open result> <division>", then per event the exact
// sum of delta × tempo so far, its kind and its bytes in hex (meta events
// with "ff" ahead of the type), then "end <read result>".

#include <cinttypes>
#include <cstdio>

#include "readers/smf2mid.h"

int main(int argc, char** argv) {
  using namespace tonvelo;
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    CSMF2MID reader;
    const OpenResult r = reader.Open(argv[i]);
    std::printf("file %s %d %" PRIu32 "\n", argv[i], static_cast<int>(r), reader.GetDivision());
    uint64_t elapsed = 0;
    MusicEvent ev;
    ReadResult res = ReadResult::kDamaged;
    while (r == OpenResult::kOpened && (res = reader.ReadEvent(ev)) == ReadResult::kEvent) {
      elapsed += uint64_t{ev.delta} * ev.tempo;
      std::printf("%" PRIu64 " %" PRIu32 " %s%02x", elapsed, ev.kind,
                  ev.kind == kEventMeta ? "ff" : "", ev.status);
      for (uint32_t k = 0; k < ev.length; ++k) std::printf("%02x", ev.data[k]);
      std::printf("\n");
    }
    std::printf("end %d\n", static_cast<int>(res));
    failures += res != ReadResult::kEnd;
  }
  return failures == 0 ? 0 : 1;
}
