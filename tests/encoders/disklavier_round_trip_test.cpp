// Round trip: a Standard MIDI File read by the real reader, encoded to a
// Disklavier track and read back by the Disklavier decoder. Every note,
// pedal, program change and system-exclusive message must come back in
// order, at its time to within one symbol, and every sample must equal the
// long-hand rendering of the received symbols.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "readers/smf2mid.h"
#include "tests/support/disklavier_run.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

using Bytes = std::vector<uint8_t>;

struct Expected {
  double seconds;  // from the first channel or system-exclusive event
  Bytes bytes;  // as MIDI
};

class DisklavierRoundTrip : public ::testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(BothRates, DisklavierRoundTrip, ::testing::Values(44100u, 48000u),
                         [](const auto& info) { return std::to_string(info.param); });

// Two bars of a prelude in broken chords under the pedal, after a second of
// silence, a program change and a GS reset; a tempo change, and an upper part
// on channel 1 that lands on channel 0 without its pedal.
TEST_P(DisklavierRoundTrip, TheMusicComesBackInOrderAndOnTime) {
  const uint32_t rate = GetParam();
  test::MidiBuilder midi(0, 480);
  auto& t = midi.AddTrack();
  std::vector<Expected> want;
  double now = 0;
  uint32_t tempo = 500000;
  auto wait = [&](uint32_t ticks) { now += ticks * (tempo / 1e6) / 480.0; };
  const Bytes gs = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
  t.Tempo(0, tempo).TrackName(0, "Prelude").Program(960, 0, 0);
  t.SysEx(0, 0xF0, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
  want.push_back({0, {0xC0, 0}});
  want.push_back({0, gs});
  const uint8_t chord[2][5] = {{48, 52, 55, 60, 64}, {48, 50, 57, 62, 65}};
  for (int bar = 0; bar < 2; ++bar) {
    if (bar == 1) t.Tempo(0, tempo = 400000);
    t.Control(0, 0, 64, 127);
    want.push_back({now, {0xB0, 64, 127}});
    for (int k = 0; k < 16; ++k) {
      const uint8_t note = chord[bar][k % 8 < 5 ? k % 8 : 9 - k % 8];
      const auto vel = static_cast<uint8_t>(40 + 5 * (k % 8));
      t.NoteOn(0, 0, note, vel).NoteOff(120, 0, note, 0);
      want.push_back({now, {0x90, note, vel}});
      wait(120);
      want.push_back({now, {0x80, note, 0}});
    }
    t.NoteOn(0, 1, 72, 60).Control(0, 1, 64, 127).NoteOff(240, 1, 72, 0).Control(0, 0, 64, 0);
    want.push_back({now, {0x90, 72, 60}});
    wait(240);
    want.push_back({now, {0x80, 72, 0}});
    want.push_back({now, {0xB0, 64, 0}});
  }
  t.End(480);

  CSMF2MID reader;
  ASSERT_EQ(reader.OpenBuffer(midi.Build()), OpenResult::kOpened);
  test::DkOptions opt;
  opt.velocityProfile = 1;  // velocities pass unchanged
  opt.title = "01) Prelude_in_C";
  auto run = test::RunDisklavier(reader, rate, opt);
  ASSERT_EQ(run->result, Result::kSuccess);
  const auto& sig = run->signal;
  ASSERT_TRUE(run->clean) << run->error;
  const auto& m = run->messages;
  ASSERT_EQ(m.size(), 3 + want.size());
  EXPECT_EQ(std::string(m[2].bytes.begin() + 7, m[2].bytes.end() - 1), "  Prelude in C");

  // The music starts once the set-up is done, 0.492 s into the track. The
  // scheduler's half unit is measured at its first idle symbol, after the
  // burst of messages at time zero: later events come half that span early.
  const double symbol = rate / 3150.0;
  const double start = static_cast<double>(sig.SymbolSample(m[3].firstUnit));
  EXPECT_NEAR(start, 0.492 * rate, symbol);
  double early = 0, previousEnd = 0;
  for (size_t k = 0; k < want.size(); ++k) {
    const auto& got = m[3 + k];
    EXPECT_EQ(got.bytes, want[k].bytes) << k;
    if (want[k].seconds > 0 && early == 0) early = std::floor((previousEnd + symbol - start) / 2);
    const double nominal = std::max(start + want[k].seconds * rate - early, previousEnd);
    EXPECT_NEAR(static_cast<double>(sig.SymbolSample(got.firstUnit)), nominal, symbol) << k;
    previousEnd = static_cast<double>(sig.SymbolSample(got.endUnit));
  }
  EXPECT_TRUE(run->out.Right() == test::DkReferenceSignal(sig.Values(), sig.leadSamples, rate, rate));
  for (int16_t l : run->out.Left()) ASSERT_EQ(l, 0);
}

}  // namespace
}  // namespace tonvelo
