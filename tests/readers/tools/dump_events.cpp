// Prints every event a reader delivers, for comparison with other parsers:
//   file <path> <open result> <division>
//   <seconds> <delta×tempo sum> <kind> <status and data bytes in hex>
// Times follow the event model: the sum of delta × tempo over all delivered
// events, divided by division × 1 000 000. The integer sum is printed too so
// that a checker can compare exact times. ESEQ files are tried when the MIDI
// reader says the file is not MIDI, as the conversion does.

#include <cinttypes>
#include <cstdio>
#include <memory>

#include "readers/eseq2mid.h"
#include "readers/smf2mid.h"

namespace {

int Dump(const char* path) {
  using namespace tonvelo;
  std::unique_ptr<CMusicFile2MID> reader = std::make_unique<CSMF2MID>();
  OpenResult r = reader->Open(path);
  if (r == OpenResult::kNotThisFormat) {
    reader = std::make_unique<CESEQ2MID>();
    r = reader->Open(path);
  }
  std::printf("file %s %d %" PRIu32 "\n", path, static_cast<int>(r), reader->GetDivision());
  if (r != OpenResult::kOpened) return 1;

  const double division = reader->GetDivision();
  unsigned __int128 elapsed = 0;
  MusicEvent ev;
  ReadResult res;
  while ((res = reader->ReadEvent(ev)) == ReadResult::kEvent) {
    elapsed += static_cast<unsigned __int128>(ev.delta) * ev.tempo;
    std::printf("%.9f %" PRIu64 " %" PRIu32 " ", static_cast<double>(elapsed) / (division * 1e6),
                static_cast<uint64_t>(elapsed), ev.kind);
    if (ev.kind == kEventMeta) std::printf("ff");
    std::printf("%02x", ev.status);
    for (uint32_t i = 0; i < ev.length; ++i) std::printf("%02x", ev.data[i]);
    std::printf("\n");
  }
  std::printf("end %d\n", static_cast<int>(res));
  return res == ReadResult::kEnd ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dump_events FILE...\n");
    return 2;
  }
  int failures = 0;
  for (int i = 1; i < argc; ++i) failures += Dump(argv[i]);
  return failures == 0 ? 0 : 1;
}
