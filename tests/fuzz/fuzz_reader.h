#pragma once
// What the fuzz targets do with a reader that opened: every pass the
// conversion and the rest of the interface can make, touching each byte an
// event points to so the address sanitizer sees any stray pointer.

#include <cstddef>
#include <cstdint>

#include "readers/music_file.h"

namespace tonvelo::fuzz {

inline uint32_t ReadPass(CMusicFile2MID& reader) {
  uint32_t sum = 0;
  MusicEvent ev;
  while (reader.ReadEvent(ev) == ReadResult::kEvent) {
    for (uint32_t i = 0; i < ev.length; ++i) sum += ev.data[i];
    sum += ev.delta + ev.tempo + ev.status + reader.GetPercentDone();
    if (reader.GetDivision() == 0) __builtin_trap();  // the scheduler divides by it
  }
  return sum;
}

inline void Exercise(CMusicFile2MID& reader, size_t size) {
  volatile uint32_t sink = 0;
  sink = sink + ReadPass(reader);
  // Reading on after the end or damage must stay put.
  MusicEvent ev;
  (void)reader.ReadEvent(ev);
  const char* title = reader.GetTitle();
  for (size_t i = 0; title[i] != '\0'; ++i) sink = sink + static_cast<uint8_t>(title[i]);

  // A second pass at another speed with some channels muted, as a player would.
  reader.SetSpeed(static_cast<int>(size % 1200));
  reader.MuteChannel(static_cast<uint8_t>(size % 16));
  if (reader.Rewind() == OpenResult::kOpened) sink = sink + ReadPass(reader);
  reader.SkipTo(static_cast<uint32_t>(size * 37));
  sink = sink + ReadPass(reader);
  reader.UnmuteChannel(static_cast<uint8_t>(size % 16));
  sink = sink + reader.FindSustainChannel();
  reader.Close();
  (void)reader.ReadEvent(ev);
}

}  // namespace tonvelo::fuzz
