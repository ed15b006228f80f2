#include "encoders/mid2midiman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "readers/smf2mid.h"
#include "tests/encoders/serial_decoders.h"
#include "tests/support/fake_accompaniment.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

using test::FakeReader;
using test::SerialMessage;
using Shape = std::pair<int, std::vector<uint8_t>>;  // sync count, bytes
using Shapes = std::vector<Shape>;

Shapes ShapesOf(const std::vector<SerialMessage>& msgs) {
  Shapes out;
  for (const auto& m : msgs) out.push_back({m.syncs, m.bytes});
  return out;
}

class MidiManTest : public testing::TestWithParam<uint32_t> {
 protected:
  uint32_t Rate() const { return GetParam(); }
  double Unit() const { return Rate() / 3425.0; }
  uint32_t Frames(double s) const { return static_cast<uint32_t>(Rate() * s + 0.5); }

  Result Run(CMusicFile2MID& source, int profile = 0, CPCMIn* accompaniment = nullptr) {
    out_ = std::make_unique<test::MemoryOutput>();
    if (failAfter_ != 0) out_->FailAfter(failAfter_);
    CMid2MIDIMan enc;
    enc.SetSampleRate(Rate());
    enc.SetVelocityProfile(profile);
    enc.SetOutput(out_.get());
    enc.SetAccompaniment(accompaniment);
    enc.SetSource(&source);
    enc.SetCancelFlag(&cancel_);
    const Result r = enc.Encode();
    msgs_ = test::ParseSerial(test::SerialSymbols(out_->Left(), Unit()));
    return r;
  }

  // The music's messages: after the set-up's silent note, before the closing syncs.
  std::vector<SerialMessage> Music() const {
    auto it = std::find_if(msgs_.begin(), msgs_.end(), [](const SerialMessage& m) {
      return m.syncs == 1 && m.bytes == std::vector<uint8_t>{0, 0};
    });
    std::vector<SerialMessage> out(it == msgs_.end() ? it : it + 1, msgs_.end());
    if (!out.empty() && out.back().syncs == 3 && out.back().bytes.empty()) out.pop_back();
    return out;
  }

  std::unique_ptr<test::MemoryOutput> out_;
  size_t failAfter_ = 0;
  CancelFlag cancel_{0};
  std::vector<SerialMessage> msgs_;
};

TEST_P(MidiManTest, SetUpSequenceTimingAndEnding) {
  FakeReader src;
  src.EndOfTrack();
  ASSERT_EQ(Run(src), Result::kSuccess);

  Shapes expect = {{3, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}}};
  for (uint8_t c = 0; c < 16; ++c) {
    expect.push_back({3, {static_cast<uint8_t>(0xC0 | c), 0x00}});
    expect.push_back({3, {static_cast<uint8_t>(c == 9 ? 0xB9 : 0xB0), 0x07, 0x64}});
  }
  expect.push_back({1, {0x00, 0x00}});
  expect.push_back({3, {}});  // the closing syncs
  ASSERT_EQ(ShapesOf(msgs_), expect);

  // 0.05 s of silence, idle symbols (each starting with one 0 sample), the
  // GM on at 0.175 s and the channel set-up at 0.25 s, back to back; it runs
  // past 0.489 s, so the closing syncs follow the silent note at once.
  const auto& left = out_->Left();
  for (uint32_t i = 0; i <= Frames(0.05); ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[Frames(0.05) + 1], 0);
  for (const auto& [i, at] : {std::pair{0, 0.175}, {1, 0.25}}) {
    EXPECT_GE(msgs_[i].start, Frames(at));
    EXPECT_LE(msgs_[i].start, Frames(at) + Unit() + 1);
  }
  for (size_t i = 2; i < msgs_.size(); ++i) {
    const double units = msgs_[i - 1].bytes.size() * 8 + 2 * msgs_[i - 1].syncs;
    EXPECT_NEAR(msgs_[i].start - msgs_[i - 1].start, units * Unit(), 1.0) << i;
  }
  EXPECT_GT(msgs_[msgs_.size() - 2].start, Frames(0.489));

  // 0.1 s + 0.1 s of idle after the closing syncs, then one second of silence.
  const size_t total = left.size();
  for (size_t i = total - Rate(); i < total; ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[total - Rate() - 2], 0);
  EXPECT_GE(total - Rate() - msgs_.back().start, Frames(0.2) + 6 * Unit() - 2);
  EXPECT_LE(total - Rate() - msgs_.back().start, Frames(0.2) + 8 * Unit() + 4);
  for (int16_t r : out_->Right()) ASSERT_EQ(r, 0);
}

// Notes d = -8..8 from 60 as chords; an idle gap between chords closes the chain.
TEST_P(MidiManTest, ChordNotesCloseTogetherShrinkToOneByte) {
  FakeReader src;
  Shapes expect;
  for (int d = -8; d <= 8; ++d) {
    src.NoteOn(480, 0, 60, 64).NoteOn(0, 0, static_cast<uint8_t>(60 + d), 64);
    expect.push_back({1, {0x08, 60}});
    if (std::abs(d) == 8) {
      expect.push_back({1, {0x08, static_cast<uint8_t>(60 + d)}});
    } else {
      expect.push_back({0, {static_cast<uint8_t>((d < 0 ? -d : 8 + d) << 4 | 0x08)}});
    }
  }
  src.NoteOn(480, 0, 127, 64).NoteOn(0, 0, 0, 64);  // wraps: +1
  src.NoteOn(480, 0, 70, 100).NoteOff(0, 0, 70);    // a note off is velocity code 0
  src.NoteOn(480, 0, 70, 100).NoteOn(0, 0, 70, 100).NoteOn(0, 0, 71, 100);
  ASSERT_EQ(Run(src), Result::kSuccess);
  expect.insert(expect.end(), {{1, {0x08, 127}},
                               {0, {0x98}},
                               {1, {0x0C, 70}},
                               {0, {0x80}},
                               {1, {0x0C, 70}},
                               {0, {0x8C}},  // a repeated note is distance 0
                               {0, {0x9C}}});
  EXPECT_EQ(ShapesOf(Music()), expect);
}

TEST_P(MidiManTest, VelocityCodesAndExpansionOnMergedChannels) {
  const std::vector<uint8_t> velocities = {1, 7, 15, 16, 23, 40, 64, 95, 127, 0};
  // Expanded: 1, 1, 1, 1, 1, 20, 66, 127, 127, 0.
  for (const auto& [profile, codes] :
       {std::pair{0, std::vector<int>{1, 1, 1, 2, 2, 5, 8, 11, 15, 0}},
        std::pair{1, std::vector<int>{1, 1, 1, 1, 1, 2, 8, 15, 15, 0}}}) {
    FakeReader src;
    for (uint8_t v : velocities) src.NoteOn(480, 0, 60, v);
    ASSERT_EQ(Run(src, profile), Result::kSuccess);
    std::vector<int> got;
    for (const auto& m : Music()) got.push_back(m.bytes[0]);
    EXPECT_EQ(got, codes) << profile;
  }
}

TEST_P(MidiManTest, ProgramChangesMergeAndUnmergeChannels) {
  FakeReader src;
  src.NoteOn(480, 3, 60, 40)
      .Program(480, 3, 20)
      .NoteOn(480, 3, 60, 40)
      .Program(480, 3, 2)
      .NoteOn(480, 3, 60, 40)
      .NoteOn(480, 9, 36, 127)
      .Program(480, 9, 0)
      .NoteOn(480, 9, 36, 127);
  ASSERT_EQ(Run(src, 1), Result::kSuccess);
  EXPECT_EQ(ShapesOf(Music()), (Shapes{{1, {0x02, 60}},
                                       {3, {0xC3, 20}},
                                       {1, {0x35, 60}},  // channel kept, no expansion
                                       {3, {0xC3, 2}},
                                       {1, {0x02, 60}},
                                       {1, {0x9F, 36}},  // percussion is never merged
                                       {3, {0xC9, 0}},
                                       {1, {0x9F, 36}}}));
}

TEST_P(MidiManTest, ControllersAndPedalsAreFiltered) {
  FakeReader src;
  src.Control(480, 0, 64, 100)
      .Control(480, 0, 64, 90)  // already down
      .Control(480, 0, 64, 10)
      .Control(480, 1, 64, 127)  // not the sustain channel
      .Control(480, 2, 67, 80)   // the soft channel
      .Control(480, 2, 67, 90)
      .Control(480, 0, 67, 80)
      .Control(480, 0, 66, 0)  // sostenuto already up
      .Control(480, 0, 66, 64)
      .Control(480, 0, 7, 90)
      .Control(480, 0, 1, 90)
      .Control(480, 0, 102, 5)
      .Control(480, 0, 108, 6)
      .Control(480, 0, 109, 7)
      .Channel(480, 0xE0, {0x00, 0x50})
      .Channel(480, 0xD0, {0x50})
      .Channel(480, 0xA0, {60, 0x50})
      .Control(480, 0, 64, 0);  // the sustain channel is the busiest: 4 events
  ASSERT_EQ(Run(src), Result::kSuccess);
  EXPECT_EQ(ShapesOf(Music()), (Shapes{{3, {0xB0, 64, 127}},
                                       {3, {0xB0, 64, 0}},
                                       {3, {0xB0, 67, 127}},
                                       {3, {0xB0, 66, 127}},
                                       {3, {0xB0, 7, 90}},
                                       {3, {0xB0, 102, 5}},
                                       {3, {0xB0, 108, 6}}}));
}

TEST_P(MidiManTest, SystemExclusiveAndOwnGeneralMidiOn) {
  FakeReader src;
  src.SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7})
      .SysEx(480, {0x43, 0x71, 0x7E, 0x10, 0x03, 0xF7})  // Yamaha piano data: dropped
      .NoteOn(0, 0, 60, 64)
      .SysEx(0, {0x41, 0x10, 0xF7})
      .NoteOn(0, 0, 62, 64);  // the SysEx broke the chain
  ASSERT_EQ(Run(src), Result::kSuccess);
  EXPECT_EQ(ShapesOf(msgs_)[0], (Shape{3, {0xC0, 0x00}}));  // no generated GM on
  EXPECT_EQ(ShapesOf(Music()), (Shapes{{3, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},
                                       {1, {0x08, 60}},
                                       {3, {0xF0, 0x41, 0x10, 0xF7}},
                                       {1, {0x08, 62}}}));
}

TEST_P(MidiManTest, AccompanimentOnTheRightAndTheEndWaitsForIt) {
  const uint32_t length = Rate() / 2;
  auto acc = test::FakeAccompaniment::Mono(std::vector<int16_t>(length, 1000), Rate());
  FakeReader src;
  src.NoteOn(96, 0, 60, 64).EndOfTrack(480);
  ASSERT_EQ(Run(src, 0, &acc), Result::kSuccess);
  const auto& right = out_->Right();
  for (uint32_t i = 0; i < Rate(); ++i) ASSERT_EQ(right[i], 0) << i;
  EXPECT_EQ(right[Rate() + 200], 500);
  EXPECT_EQ(right[Rate() + length - 1], 2);
  // 0.1 s of idle after the recording, then one second of silence.
  const size_t total = out_->Size();
  EXPECT_GE(total, 2 * Rate() + length + Frames(0.1));
  EXPECT_LE(total, 2 * Rate() + length + Frames(0.1) + 2 * Unit() + 4);
  // With an accompaniment the note's 0.1 s lead-in is kept.
  const auto music = Music();
  ASSERT_EQ(music.size(), 1u);
  const double setUpEnd = msgs_[msgs_.size() - 3].start + 18 * Unit();
  EXPECT_GE(music[0].start, setUpEnd + Frames(0.1) - Unit());
  EXPECT_LE(music[0].start, setUpEnd + Frames(0.1) + Unit() + 1);
}

TEST_P(MidiManTest, FailuresStopTheEncoding) {
  FakeReader src;
  src.NoteOn(0, 0, 60, 64).NoteOn(480, 0, 62, 64);
  failAfter_ = 5000;
  EXPECT_EQ(Run(src), Result::kWriteError);
  EXPECT_EQ(out_->Size(), 5000u);
  failAfter_ = 0;
  src.SetDamagedAt(1);
  EXPECT_EQ(Run(src), Result::kSourceDamaged);
  cancel_ = 1;
  EXPECT_EQ(Run(src), Result::kCancelled);
}

// A two-track file through the real reader: every note comes back in order,
// with its velocity code, at its time to within a unit (later only when the
// line is still busy with the notes before it).
TEST_P(MidiManTest, RoundTripThroughAStandardMidiFile) {
  test::MidiBuilder midi(1, 480);
  midi.AddTrack().Tempo(0, 500000).Tempo(1920, 400000).End();
  auto& piano = midi.AddTrack();
  struct Played {
    double seconds;
    uint8_t note, velocity;
  };
  std::vector<Played> played;
  uint32_t tick = 0;
  for (int i = 0; i < 60; ++i) {
    const uint32_t delta = i % 3 == 0 ? 0 : static_cast<uint32_t>(60 + i * 7 % 200);
    tick += delta;
    // Two seconds at 120 BPM, then 150 BPM.
    const double t = tick <= 1920 ? tick / 960.0 : 2.0 + (tick - 1920) * 400000.0 / 480e6;
    const auto note = static_cast<uint8_t>(40 + i * 11 % 50);
    const auto velocity = static_cast<uint8_t>(i % 5 == 4 ? 0 : 20 + i * 13 % 100);
    piano.NoteOn(delta, 0, note, velocity);
    played.push_back({t, note, velocity});
  }
  piano.End();
  CSMF2MID smf;
  ASSERT_EQ(smf.OpenBuffer(midi.Build()), OpenResult::kOpened);
  ASSERT_EQ(Run(smf), Result::kSuccess);

  const auto music = Music();
  ASSERT_EQ(music.size(), played.size());
  uint8_t note = 0;
  uint32_t busyUntil = 0;
  for (size_t i = 0; i < music.size(); ++i) {
    const auto& m = music[i];
    ASSERT_TRUE(m.syncs == 0 || m.syncs == 1) << i;
    const int h = m.bytes[0] >> 4;
    note = m.syncs == 1 ? m.bytes[1] : static_cast<uint8_t>((note + (h < 8 ? -h : h - 8)) & 0x7F);
    EXPECT_EQ(note, played[i].note) << i;
    EXPECT_EQ(m.bytes[0] & 0x0F, CMid2MIDIMan::VelocityCode(played[i].velocity)) << i;
    const double due = music[0].start + played[i].seconds * Rate();
    // The scheduler measures its half unit over its first advance, which
    // includes the first note (18 units) as well as one idle symbol.
    EXPECT_GE(m.start + 10 * Unit() + 1, due) << i;
    EXPECT_LE(m.start, std::max<double>(due, busyUntil) + Unit() + 1) << i;
    busyUntil = m.start + static_cast<uint32_t>((m.syncs == 1 ? 18 : 8) * Unit()) + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(BothRates, MidiManTest, testing::Values(44100u, 48000u));

}  // namespace
}  // namespace tonvelo
