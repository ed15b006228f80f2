#pragma once
// Which format a track carries, and on which channel: every family's decoder
// is tried on each channel, first over an excerpt and then, for the best
// match, over the whole channel.

#include <cstddef>
#include <cstdint>
#include <span>

#include "decoders/decoded_track.h"

namespace tonvelo {

using DecodeFunction = DecodedTrack (*)(const int16_t* samples, size_t count,
                                        uint32_t sampleRateHz);

struct FamilyDecoder {
  SignalFamily family;
  const char* name;       // as reports name the family
  DecodeFunction decode;  // one channel's samples to what they carry
};

// One row per signal family.
std::span<const FamilyDecoder> FamilyDecoders();
const FamilyDecoder* FindFamilyDecoder(SignalFamily family);

// Below this a decoder's confidence does not count as a data signal.
constexpr double kMinConfidence = 0.5;

// The best decoding of either channel; family kNone (and dataChannel -1) when
// neither carries a data signal. `right` may be null for a mono track.
DecodedTrack DetectAndDecode(const int16_t* left, const int16_t* right, size_t frames,
                             uint32_t sampleRateHz);

}  // namespace tonvelo
