#pragma once
// Collects a reader's delivered events as owned copies, so tests can compare
// whole streams after the reader has moved on.

#include <cstdint>
#include <ostream>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo::test {

struct Ev {
  uint32_t kind;
  uint32_t delta;
  uint32_t tempo;
  uint8_t status;
  std::vector<uint8_t> data;
  bool operator==(const Ev&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Ev& e) {
  os << "{kind " << e.kind << ", delta " << e.delta << ", tempo " << e.tempo << ", status 0x"
     << std::hex << int{e.status} << ", data";
  for (uint8_t b : e.data) os << ' ' << int{b};
  return os << std::dec << '}';
}

// Reads until the reader answers nonzero; `last` receives that answer.
inline std::vector<Ev> ReadAll(CMusicFile2MID& r, ReadResult* last = nullptr) {
  std::vector<Ev> out;
  MusicEvent ev;
  ReadResult res;
  while ((res = r.ReadEvent(ev)) == ReadResult::kEvent) {
    out.push_back({ev.kind, ev.delta, ev.tempo, ev.status, {ev.data, ev.data + ev.length}});
  }
  if (last) *last = res;
  return out;
}

inline Ev Note(uint32_t delta, uint8_t status, uint8_t a, uint8_t b, uint32_t tempo = 500000) {
  return {kEventChannel, delta, tempo, status, {a, b}};
}
inline Ev MetaEv(uint32_t delta, uint8_t type, std::vector<uint8_t> body = {},
                 uint32_t tempo = 500000) {
  return {kEventMeta, delta, tempo, type, std::move(body)};
}

}  // namespace tonvelo::test
