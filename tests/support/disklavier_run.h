#pragma once
// Runs the Disklavier encoder over in-memory events and demodulates what it
// wrote, for the encoder and round-trip tests.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encoders/mid2disklavier.h"
#include "tests/support/disklavier_demod.h"
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
  DkSignal signal;
  std::vector<DkItem> items;
  std::vector<DkMessage> messages;
};

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
  run->signal = DemodulateDisklavier(run->out.Right(), e.GetSampleRate());
  run->items = DkBytes(run->signal.symbols);
  run->messages = DkMessages(run->items);
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

}  // namespace tonvelo::test
