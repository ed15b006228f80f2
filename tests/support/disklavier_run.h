#pragma once
// Runs the Disklavier encoder over in-memory events and reads what it wrote
// back with the product decoder, for the encoder and round-trip tests.
// DkReferenceSignal renders symbols the long way, through the 47040-point
// frame buffer, for sample-exact comparison.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decoders/disklavier_decoder.h"
#include "encoders/mid2disklavier.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/recording_events.h"

namespace tonvelo::test {

struct DkOptions {
  std::string title = "Song";
  int velocityProfile = 0;
  CPCMIn* accompaniment = nullptr;
  bool cancelled = false;
  size_t failAfterFrames = SIZE_MAX;
};

struct DkRun {
  MemoryOutput out;
  RecordingEvents events;
  CancelFlag cancel{0};
  CMid2Disklavier encoder;
  Result result = Result::kSuccess;
  DecodedTrack track;
  DisklavierDetail signal;
  std::vector<DisklavierItem> items;
  std::vector<StreamMessage> messages;
  bool clean = false;  // full-scale carrier on the 16 phases, silence after it
  // (the stream itself may hold what no encoder rule would send)
  std::string error;
};

constexpr uint32_t kDkSymbolRate = 3150;
constexpr uint8_t kDkIncrement[16] = {3, 4, 12, 11, 2, 5, 13, 10, 0, 7, 15, 8, 1, 6, 14, 9};

// Decodes `right` into the run and judges whether the signal is clean.
inline void ReadBack(DkRun& run, const std::vector<int16_t>& right, uint32_t rate) {
  run.track = DecodeDisklavier(right.data(), right.size(), rate, &run.signal);
  run.items = run.signal.items;
  run.messages = run.signal.messages;
  const auto& s = run.signal;
  if (s.symbols.empty()) run.error = "no data";
  if (s.worstPhaseErrorDegrees > 0.6 || std::fabs(s.minLevel - 8192) > 4 ||
      std::fabs(s.maxLevel - 8192) > 4) {
    run.error = "distorted symbols";
  }
  if (std::any_of(right.begin() + std::min<size_t>(s.endSample, right.size()), right.end(),
                  [](int16_t v) { return v != 0; })) {
    run.error = "signal after the data";
  }
  run.clean = run.error.empty();
}

inline std::unique_ptr<DkRun> RunDisklavier(CMusicFile2MID& reader, uint32_t rate,
                                            const DkOptions& opt = {}) {
  auto run = std::make_unique<DkRun>();
  run->out.FailAfter(opt.failAfterFrames);
  CMid2Disklavier& e = run->encoder;
  e.SetSampleRate(rate);
  e.SetVelocityProfile(opt.velocityProfile);
  e.SetNotifyWindow(&run->events);
  e.SetOutput(&run->out);
  e.SetAccompaniment(opt.accompaniment);
  e.SetSource(&reader);
  run->cancel = opt.cancelled ? 1 : 0;
  e.SetCancelFlag(&run->cancel);
  e.SetTitle(opt.title);
  run->result = e.Encode();
  ReadBack(*run, run->out.Right(), e.GetSampleRate());
  return run;
}

// trunc(s * rate + 0.5), worked out independently of the framework.
inline uint32_t DkSeconds(double s, uint32_t rate) { return static_cast<uint32_t>(s * rate + 0.5); }

// Output position after k symbols from `lead`: k symbols of rate/3150
// samples, rounded half up.
inline size_t DkPosition(size_t lead, size_t k, uint32_t rate) {
  return lead + (2 * k * rate + kDkSymbolRate) / (2 * kDkSymbolRate);
}

// The symbol count at which idling from symbol `from` reaches `target`.
inline size_t DkIdleUntil(size_t lead, size_t from, size_t target, uint32_t rate) {
  while (DkPosition(lead, from, rate) < target) ++from;
  return from;
}

// `values` rendered frame by frame: each frame lays the 21 symbols' two-cycle
// tables end to end and is read every 160 (44.1 kHz) or 147 (48 kHz) points;
// `lead` zeros before, `trail` zeros after.
inline std::vector<int16_t> DkReferenceSignal(const std::vector<uint8_t>& values, size_t lead,
                                              uint32_t rate, size_t trail) {
  std::vector<std::vector<int16_t>> tables(16, std::vector<int16_t>(2240));
  for (int k = 0; k < 16; ++k) {
    for (int i = 0; i < 2240; ++i) {
      tables[k][i] = static_cast<int16_t>(
          8192.0 * std::sin(2.0 * M_PI * (i % 1120) / 1120.0 + k * M_PI / 8.0));
    }
  }
  std::vector<int16_t> out(lead, 0), buffer(47040);
  uint32_t phase = 4;  // the carrier phase before the first symbol
  for (size_t f = 0; f + 21 <= values.size(); f += 21) {
    for (size_t s = 0; s < 21; ++s) {
      phase = (phase + kDkIncrement[values[f + s]]) % 16;
      std::copy(tables[phase].begin(), tables[phase].end(), buffer.begin() + s * 2240);
    }
    for (size_t j = 0; j < buffer.size(); j += rate == 48000 ? 147 : 160) out.push_back(buffer[j]);
  }
  out.insert(out.end(), trail, 0);
  return out;
}

}  // namespace tonvelo::test
