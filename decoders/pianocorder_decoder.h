#pragma once
// Reading back the two frame-stream signals: the Marantz Pianocorder (ids 2
// and 3) and the IMI Cassette Converter (ids 10 and 11).
//
// Both send 16-byte frames, most significant bit first, with pulse/sine
// symbols: a 0 is a one-unit pulse whose sign alternates, a 1 a whole sine
// cycle. The sign therefore changes at every symbol boundary and, for a 1,
// also in mid-symbol, so the bits follow from the spacing of zero crossings
// alone, whatever the exact bit rate (a replayed Pianocorder file glides to
// its own). Frames are found by their constant bits; each frame's keys,
// pedals and loudness become note and pedal events at the frame's time (the
// moment the key goes down, which is ahead of the hammer's stroke).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "decoders/decoded_track.h"

namespace tonvelo {

struct DecodedFrame {
  double timeSeconds = 0.0;  // start of the frame's first bit
  uint8_t bytes[16] = {};
};

struct DecodedFrames {
  double bitsPerSecond = 0.0;  // measured, at the speed heard (2250 for half speed)
  std::vector<DecodedFrame> frames;
};

DecodedTrack DecodePianocorder(const int16_t* samples, size_t count, uint32_t sampleRateHz);
DecodedTrack DecodePianocorder(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                               DecodedFrames* detail);
DecodedTrack DecodeCassetteConverter(const int16_t* samples, size_t count, uint32_t sampleRateHz);
DecodedTrack DecodeCassetteConverter(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                                     DecodedFrames* detail);

// The velocity a key sounding at this loudness level reads back as (both
// families' levels are shares of the velocity range squared). A Cassette
// Converter level 7 punches the holes of level 4, so a track that carries it
// reads back as level 4.
uint8_t FrameLevelVelocity(SignalFamily family, int level);

// Writes decoded Pianocorder frames as a Pianocorder data file, with the
// speed they were recorded at (a half-speed track counts double). False
// when there is no frame or the file cannot be written.
[[nodiscard]] bool WritePianocorderFrames(const std::filesystem::path& path,
                                          const DecodedFrames& frames);

}  // namespace tonvelo
