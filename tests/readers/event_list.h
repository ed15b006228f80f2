#pragma once
// A reader's answers as goldens: "d=10 t=500000 90 3C 40" (delta, tempo field,
// status and data in hex), "... meta 2F", "... sysex F0 ...", "end", "damaged".

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo::test {

using Goldens = std::vector<std::string>;

// Exactly `count` answers; by default up to and including the first non-event.
inline Goldens Answers(CMusicFile2MID& r, size_t count = SIZE_MAX) {
  Goldens out;
  for (MusicEvent ev; out.size() < count;) {
    const ReadResult res = r.ReadEvent(ev);
    if (res != ReadResult::kEvent) {
      out.push_back(res == ReadResult::kEnd ? "end" : "damaged");
      if (count == SIZE_MAX) break;
      continue;
    }
    static const char* const kKinds[] = {"", "sysex ", "meta "};
    std::string s = "d=" + std::to_string(ev.delta) + " t=" + std::to_string(ev.tempo) + ' ' +
                    (ev.kind < 3 ? kKinds[ev.kind] : "kind? ");
    char hex[4];
    for (uint32_t i = 0; i <= ev.length; ++i) {
      std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X",
                    i == 0 ? ev.status : ev.data[i - 1]);
      s += hex;
    }
    out.push_back(s);
  }
  return out;
}

template <class Reader>
Goldens OpenAndRead(Reader& r, std::vector<uint8_t> file) {
  if (r.OpenBuffer(std::move(file)) != OpenResult::kOpened) return {"not opened"};
  return Answers(r);
}

}  // namespace tonvelo::test
