// Prints "file <path> <open result> <division>", then per event the exact sum
// of delta × tempo so far, its kind and its bytes in hex (meta: "ff" and the
// type first), then "end <read result>"; or "replay differs" after Rewind.

#include <cinttypes>
#include <cstdio>
#include <string>

#include "readers/smf2mid.h"

int main(int argc, char** argv) {
  using namespace tonvelo;
  for (int i = 1; i < argc; ++i) {
    CSMF2MID reader;
    const OpenResult r = reader.Open(argv[i]);
    std::printf("file %s %d %" PRIu32 "\n", argv[i], static_cast<int>(r), reader.GetDivision());
    std::string passes[2];
    for (std::string& out : passes) {
      uint64_t elapsed = 0;
      MusicEvent ev;
      ReadResult res = ReadResult::kDamaged;
      char text[32];
      while (r == OpenResult::kOpened && (res = reader.ReadEvent(ev)) == ReadResult::kEvent) {
        elapsed += uint64_t{ev.delta} * ev.tempo;
        std::snprintf(text, sizeof text, "%" PRIu64 " %" PRIu32 " %s%02x", elapsed, ev.kind,
                      ev.kind == kEventMeta ? "ff" : "", ev.status);
        out += text;
        for (uint32_t k = 0; k < ev.length; ++k)
          out += {"0123456789abcdef"[ev.data[k] >> 4], "0123456789abcdef"[ev.data[k] & 15]};
        out += '\n';
      }
      out += "end " + std::to_string(static_cast<int>(res)) + "\n";
      if (reader.Rewind() != OpenResult::kOpened) break;
    }
    std::fputs(passes[1] == passes[0] ? passes[0].c_str() : "replay differs\n", stdout);
  }
}
