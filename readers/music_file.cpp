#include "readers/music_file.h"

namespace tonvelo {

void CMusicFile2MID::MuteChannel(uint8_t ch) {
  if (ch < 16) muted_[ch] = 1;
}

void CMusicFile2MID::UnmuteChannel(uint8_t ch) {
  if (ch < 16) muted_[ch] = 0;
}

void CMusicFile2MID::SkipTo(uint32_t ms) {
  if (Rewind() != OpenResult::kOpened) return;
  double sumMs = 0.0;
  MusicEvent ev;
  while (sumMs < ms && ReadEvent(ev) == ReadResult::kEvent) {
    sumMs += ev.delta * 1000.0 / ticksPerSecond_;
  }
}

uint8_t CMusicFile2MID::FindPedalChannel(uint8_t controller) {
  bool candidate[16];
  uint32_t count[16] = {};
  for (int c = 0; c < 16; ++c) candidate[c] = (c != 9);

  (void)Rewind();
  MusicEvent ev;
  while (ReadEvent(ev) == ReadResult::kEvent) {
    if (ev.kind != kEventChannel) continue;
    const uint8_t kind = ev.status & 0xF0;
    const uint8_t ch = ev.status & 0x0F;
    if (kind == 0xB0 && candidate[ch] && ev.length == 2 && ev.data[0] == controller) {
      ++count[ch];
    } else if (kind == 0xC0 && ch != 9 && ev.length >= 1) {
      // Only piano programs (0..7) keep a channel in the running.
      candidate[ch] = ev.data[0] < 8;
    }
  }
  (void)Rewind();

  uint8_t best = 0;
  for (uint8_t c = 1; c < 16; ++c) {
    if (count[c] > count[best]) best = c;
  }
  return best;
}

}  // namespace tonvelo
