#pragma once
// Reads a Disklavier data signal back: a 6300 Hz carrier whose phase moves in
// steps of 22.5 degrees, one step per symbol of 4 bits at 3150 symbols per
// second; the steps spell a MIDI byte stream in which the 0xC0 range carries
// escapes (system exclusive, program change). Symbol timing and carrier phase
// are found from the signal itself, so delays, gain, a DC offset and inverted
// polarity do not matter.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/decoded_track.h"
#include "decoders/stream_message.h"

namespace tonvelo {

constexpr uint32_t kDisklavierCarrierHz = 6300;
constexpr uint32_t kDisklavierSymbolRate = 3150;

struct DisklavierSymbol {
  uint32_t startSample = 0;
  uint8_t phase = 0;  // carrier phase in steps of 22.5 degrees
  uint8_t value = 0;  // 0..15; 15 is the idle symbol
  bool readable = true;
};

// A byte (two symbols) or, after the program-change escape C4, the single
// channel symbol.
struct DisklavierItem {
  uint8_t value = 0;
  uint32_t symbol = 0;     // its first symbol
  uint32_t endSymbol = 0;  // one past its last
};

struct DisklavierDetail {
  uint32_t leadSamples = 0;             // first sample of the first symbol
  uint32_t endSample = 0;               // one past the last symbol
  double worstPhaseErrorDegrees = 0.0;  // largest distance from the 22.5 degree grid
  double minLevel = 0.0;                // carrier amplitude range over the symbols
  double maxLevel = 0.0;
  std::vector<DisklavierSymbol> symbols;
  std::vector<DisklavierItem> items;
  // Channel messages as MIDI; F0 .. F7 for C0 .. C7; Cn pp for C4 n pp pp.
  std::vector<StreamMessage> messages;

  uint32_t SymbolSample(size_t k) const {
    return k < symbols.size() ? symbols[k].startSample : endSample;
  }
  std::vector<uint8_t> Values() const;
};

DecodedTrack DecodeDisklavier(const int16_t* samples, size_t count, uint32_t sampleRateHz);
DecodedTrack DecodeDisklavier(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                              DisklavierDetail* detail);

}  // namespace tonvelo
