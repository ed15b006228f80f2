#pragma once
// Reads an LX-family data signal (Live Performance LX and Steinway Spirio,
// Bosendorfer SE tape mode, QRS Pianomation 1) back from one channel: bits
// at 6400 a second, bytes, descrambling (the scramblers synchronise on the
// received bytes themselves, so no seed is needed), the leader, frames found
// by their sync word and checked against their check sequence, and from each
// block's first good copy its note records and pedal levels.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/decoded_track.h"

namespace tonvelo {

// One frame copy as received, after descrambling.
struct LXFrameRecord {
  double timeSeconds = 0.0;   // start of its sync word
  uint32_t streamOffset = 0;  // bytes from the start of the signal
  uint16_t lengthField = 0;
  uint16_t blockNumber = 0;
  uint16_t positionField = 0;  // the sender's byte position of this field
  bool crcOk = false;
  std::vector<uint8_t> bytes;  // the whole frame, sync word to check bytes
};

// A note record of the event queue.
struct LXNoteRecord {
  uint32_t block = 0;  // blocks since the first, wraps of the block number undone
  uint8_t tick = 0;    // 0..255 inside the block
  uint8_t key = 0;     // 0: the sostenuto pedal
  bool on = false;
  uint16_t strike = 0;  // note-ons only
};

// The pedal levels of one block's first good copy.
struct LXBlockRecord {
  uint32_t block = 0;
  uint8_t sustain[32] = {};  // slot i for ticks 8i..8i+7
  uint8_t soft[16] = {};     // slot i for ticks 16i..16i+15
  uint32_t copies = 0;       // copies received, good or not
};

struct LXDecodeDetail {
  int mode = -1;             // 0, 1 or 2 (LXMode); -1 when no frame was found
  uint32_t leaderBytes = 0;  // bytes before the first sync word
  std::vector<LXFrameRecord> frames;
  std::vector<LXBlockRecord> blocks;
  std::vector<LXNoteRecord> notes;
};

// Events are timed as the piano plays them: the start of the signal, plus
// the mode's playback latency (the delay the encoder gives the accompaniment:
// 1, 2 or 3 s), plus 1.25 ms per tick from the first block.
DecodedTrack DecodeLX(const int16_t* samples, size_t count, uint32_t sampleRateHz);

// The velocity a note-on of `key` with this strike value is read back as:
// the full-range velocity that strikes the key that hard (strike 0, the
// hardest, reads as 127).
uint8_t LXVelocityFromStrike(uint8_t key, uint16_t strike);
DecodedTrack DecodeLXDetailed(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                              LXDecodeDetail& detail);

}  // namespace tonvelo
