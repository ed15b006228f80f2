// Round trip: a Standard MIDI File read by the real reader, encoded to a
// Disklavier track, demodulated by the test's own receiver. Every note,
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
  test::DkKind kind;
  Bytes bytes;  // as the receiver reports them
};

// The opening of a prelude in broken chords over a sustained bass, with a
// tempo change, a second (merged) part, a program change and a GS reset.
struct Piece {
  test::MidiBuilder midi{0, 480};
  std::vector<Expected> expected;
  double now = 0;           // seconds of the last event
  uint32_t tempo = 500000;  // microseconds per quarter

  void Advance(uint32_t ticks) { now += ticks * (tempo / 1e6) / 480.0; }

  Piece() {
    auto& t = midi.AddTrack();
    t.Tempo(0, tempo).TrackName(0, "Prelude");
    // Leading silence before the music: dropped without an accompaniment.
    t.Program(960, 0, 0);
    now = 0;
    expected.push_back({now, test::DkKind::kProgram, {0, 0, 0}});
    t.SysEx(0, 0xF0, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
    expected.push_back(
        {now, test::DkKind::kSysEx, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41}});
    const uint8_t chord[2][5] = {{48, 52, 55, 60, 64}, {48, 50, 57, 62, 65}};
    for (int bar = 0; bar < 2; ++bar) {
      if (bar == 1) {
        tempo = 400000;
        t.Tempo(0, tempo);
      }
      t.Control(0, 0, 64, 127);
      expected.push_back({now, test::DkKind::kChannel, {0xB0, 64, 127}});
      for (int rep = 0; rep < 2; ++rep) {
        for (int k = 0; k < 8; ++k) {
          const uint8_t note = chord[bar][k < 5 ? k : 7 - k + 2];
          const auto vel = static_cast<uint8_t>(40 + 5 * k);
          t.NoteOn(0, 0, note, vel);
          expected.push_back({now, test::DkKind::kChannel, {0x90, note, vel}});
          t.NoteOff(120, 0, note, 0);
          Advance(120);
          expected.push_back({now, test::DkKind::kChannel, {0x80, note, 0}});
        }
      }
      // An upper part on channel 1 lands on channel 0; its pedal is dropped.
      t.NoteOn(0, 1, 72, 60).Control(0, 1, 64, 127).NoteOff(240, 1, 72, 0);
      expected.push_back({now, test::DkKind::kChannel, {0x90, 72, 60}});
      Advance(240);
      expected.push_back({now, test::DkKind::kChannel, {0x80, 72, 0}});
      t.Control(0, 0, 64, 0);
      expected.push_back({now, test::DkKind::kChannel, {0xB0, 64, 0}});
    }
    t.End(480);
  }
};

class DisklavierRoundTrip : public ::testing::TestWithParam<uint32_t> {};

INSTANTIATE_TEST_SUITE_P(BothRates, DisklavierRoundTrip, ::testing::Values(44100u, 48000u),
                         [](const auto& info) { return std::to_string(info.param); });

TEST_P(DisklavierRoundTrip, TheMusicComesBackInOrderAndOnTime) {
  const uint32_t rate = GetParam();
  Piece piece;
  CSMF2MID reader;
  ASSERT_EQ(reader.OpenBuffer(piece.midi.Build()), OpenResult::kOpened);
  test::DkOptions opt;
  opt.velocityProfile = 1;  // velocities pass unchanged
  opt.title = "01) Prelude_in_C";
  auto run = test::RunDisklavier(reader, rate, opt);
  ASSERT_EQ(run->result, Result::kSuccess);
  const auto& sig = run->signal;
  ASSERT_TRUE(sig.ok) << sig.error;
  const auto& m = run->messages;
  ASSERT_EQ(m.size(), 3 + piece.expected.size());
  // Title: "Prelude in C", centred at column 2.
  EXPECT_EQ(std::string(m[2].bytes.begin() + 6, m[2].bytes.end()), "  Prelude in C");

  const double symbol = rate / 3150.0;
  const double start = static_cast<double>(sig.SymbolSample(m[3].firstSymbol));
  // The scheduler's half unit is measured at its first idle symbol, which
  // follows the burst of messages at time zero: later events are released
  // half of that span early.
  double early = 0;
  double previousEnd = 0;
  for (size_t k = 0; k < piece.expected.size(); ++k) {
    const auto& want = piece.expected[k];
    const auto& got = m[3 + k];
    EXPECT_EQ(got.kind, want.kind) << k;
    EXPECT_EQ(got.bytes, want.bytes) << k;
    if (want.seconds > 0 && early == 0) early = std::floor((previousEnd + symbol - start) / 2);
    const double nominal = std::max(start + want.seconds * rate - early, previousEnd);
    const double at = static_cast<double>(sig.SymbolSample(got.firstSymbol));
    EXPECT_NEAR(at, nominal, symbol) << k << " at " << want.seconds << " s";
    previousEnd = static_cast<double>(sig.SymbolSample(got.endSymbol));
  }
  // The music starts once the set-up is done, 0.492 s into the track.
  EXPECT_NEAR(start, 0.492 * rate, symbol);

  EXPECT_TRUE(run->out.Right() == test::DkReferenceSignal(sig.Values(), sig.leadIn, rate, rate));
  for (int16_t l : run->out.Left()) ASSERT_EQ(l, 0);
}

}  // namespace
}  // namespace tonvelo
