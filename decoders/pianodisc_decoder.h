#pragma once
// Reads a PianoDisc data signal back: a square wave whose half-cycles carry
// bits, 1/4009 s for 0 and half that for 1, idling on 0. A byte is a start 1,
// eight bits most significant first and, on the Classic system, two stop 0s;
// Silent Drive Plus sends bytes back to back. The bytes are a MIDI stream
// with running status.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/decoded_track.h"
#include "decoders/stream_message.h"

namespace tonvelo {

constexpr uint32_t kPianoDiscBitRate = 4009;  // long half-cycles per second
constexpr int kPianoDiscSilentDrivePlusId = 4;
constexpr int kPianoDiscClassicId = 5;

struct PianoDiscByte {
  uint8_t value = 0;
  uint32_t startSample = 0;  // of the start half-cycle
  uint32_t halfCycle = 0;    // index of the start half-cycle
  uint32_t stopCycles = 0;   // long half-cycles before the next start (or the end)
};

struct PianoDiscDetail {
  std::vector<PianoDiscByte> bytes;
  std::vector<StreamMessage> messages;  // status first also under running status
  uint32_t halfCycles = 0;
  uint32_t doubtfulHalfCycles = 0;  // gaps, or off the grid by over a fifth of a unit
  bool classic = true;              // stop half-cycles follow the bytes of a message
};

DecodedTrack DecodePianoDisc(const int16_t* samples, size_t count, uint32_t sampleRateHz);
DecodedTrack DecodePianoDisc(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                             PianoDiscDetail* detail);

}  // namespace tonvelo
