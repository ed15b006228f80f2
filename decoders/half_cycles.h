#pragma once
// The front end of the receivers whose symbols are lobe lengths (MIDI-serial,
// PianoDisc): removes any DC offset, finds the sign changes with hysteresis
// (so noise near zero makes none) and measures the time between them to a
// fraction of a sample.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tonvelo {

struct HalfCycle {
  double start = 0.0;   // crossing time in samples
  double length = 0.0;  // to the next crossing, in samples
  bool gap = false;     // no signal follows: the line went quiet
};

// The first sample at or after a crossing time (with a little slack for the
// offset estimate): where the new lobe's first sample lies.
inline uint32_t SampleAt(double crossing) {
  return crossing <= 0.0 ? 0 : static_cast<uint32_t>(std::ceil(crossing - 0.05));
}

// `unitSamples` is the length of the format's unit, which sets how long a
// silence ends a run and how slowly the offset is tracked.
std::vector<HalfCycle> FindHalfCycles(const int16_t* samples, size_t count, double unitSamples);

}  // namespace tonvelo
