#pragma once
// Reads a reader's answers into one short line each, so a test states a whole
// stream as a list of goldens:
//   "d=10 t=500000 90 3C 40"  delta, tempo field, status and data bytes in hex
//   "d=0 t=500000 meta 2F"    meta (the type as status), "sysex F0 ..." alike
//   "end", "damaged"          an answer that is not an event

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo::test {

using Goldens = std::vector<std::string>;

inline std::string Golden(const MusicEvent& ev) {
  static const char* const kKinds[] = {"", "sysex ", "meta "};
  std::string s = "d=" + std::to_string(ev.delta) + " t=" + std::to_string(ev.tempo) + ' ' +
                  (ev.kind < 3 ? kKinds[ev.kind] : "kind? ");
  char hex[4];
  std::snprintf(hex, sizeof hex, "%02X", ev.status);
  s += hex;
  for (uint32_t i = 0; i < ev.length; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", ev.data[i]);
    s += hex;
  }
  return s;
}

// Exactly `count` answers; by default up to and including the first non-event.
inline Goldens Answers(CMusicFile2MID& r, size_t count = SIZE_MAX) {
  Goldens out;
  MusicEvent ev;
  while (out.size() < count) {
    const ReadResult res = r.ReadEvent(ev);
    out.push_back(res == ReadResult::kEvent ? Golden(ev)
                  : res == ReadResult::kEnd ? "end"
                                            : "damaged");
    if (res != ReadResult::kEvent && count == SIZE_MAX) break;
  }
  return out;
}

template <class Reader>
Goldens OpenAndRead(Reader& r, std::vector<uint8_t> file) {
  if (r.OpenBuffer(std::move(file)) != OpenResult::kOpened) return {"not opened"};
  return Answers(r);
}

}  // namespace tonvelo::test
