#include "encoders/mid2midiman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "readers/smf2mid.h"
#include "decoders/midi_serial_decoder.h"
#include "tests/support/fake_accompaniment.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/midi_builder.h"
#include "tests/support/stream_text.h"

namespace tonvelo {
namespace {

using test::FakeReader;
using SerialMessage = StreamMessage;

class MidiManTest : public testing::TestWithParam<uint32_t> {
 protected:
  uint32_t Rate() const { return GetParam(); }
  double Unit() const { return Rate() / 3425.0; }
  uint32_t Frames(double s) const { return static_cast<uint32_t>(Rate() * s + 0.5); }

  Result Run(CMusicFile2MID& source, int profile = 0, CPCMIn* accompaniment = nullptr) {
    out_ = std::make_unique<test::MemoryOutput>();
    CMid2MIDIMan enc;
    enc.SetSampleRate(Rate());
    enc.SetVelocityProfile(profile);
    enc.SetOutput(out_.get());
    enc.SetAccompaniment(accompaniment);
    enc.SetSource(&source);
    const Result r = enc.Encode();
    MidiSerialDetail detail;
    DecodeMidiSerial(out_->Left().data(), out_->Size(), Rate(), &detail);
    msgs_ = detail.messages;
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
  std::vector<SerialMessage> msgs_;
};

TEST_P(MidiManTest, SetUpSequenceTimingAndEnding) {
  FakeReader src;
  src.EndOfTrack();
  ASSERT_EQ(Run(src), Result::kSuccess);
  std::string expect = "3:F0 7E 7F 09 01 F7";
  char buf[40];
  for (int c = 0; c < 16; ++c) {
    std::snprintf(buf, sizeof buf, " | 3:C%X 00 | 3:B%X 07 64", c, c == 9 ? 9 : 0);
    expect += buf;
  }
  ASSERT_EQ(test::SerialText(msgs_), expect + " | 1:00 00 | 3:");

  // 0.05 s of silence, idle symbols (each starting with one 0 sample), the
  // GM on at 0.175 s and the channel set-up at 0.25 s, back to back; it runs
  // past 0.489 s, so the closing syncs follow the silent note at once.
  const auto& left = out_->Left();
  for (uint32_t i = 0; i <= Frames(0.05); ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[Frames(0.05) + 1], 0);
  for (const auto& [i, at] : {std::pair{0, 0.175}, {1, 0.25}}) {
    EXPECT_GE(msgs_[i].startSample, Frames(at));
    EXPECT_LE(msgs_[i].startSample, Frames(at) + Unit() + 1);
  }
  for (size_t i = 2; i < msgs_.size(); ++i) {
    const double units = msgs_[i - 1].bytes.size() * 8 + 2 * msgs_[i - 1].syncs;
    EXPECT_NEAR(msgs_[i].startSample - msgs_[i - 1].startSample, units * Unit(), 1.0) << i;
  }
  EXPECT_GT(msgs_[msgs_.size() - 2].startSample, Frames(0.489));

  // 0.1 s + 0.1 s of idle after the closing syncs, then one second of silence.
  const size_t total = left.size();
  for (size_t i = total - Rate(); i < total; ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[total - Rate() - 2], 0);
  EXPECT_GE(total - Rate() - msgs_.back().startSample, Frames(0.2) + 6 * Unit() - 2);
  EXPECT_LE(total - Rate() - msgs_.back().startSample, Frames(0.2) + 8 * Unit() + 4);
  for (int16_t r : out_->Right()) ASSERT_EQ(r, 0);
}

// Two-note chords 60, 60 + d for d = -8..8, apart so that idle closes the
// chain; then 127 -> 0 wraps to +1, a note off is velocity code 0, and a
// repeated note is distance 0.
TEST_P(MidiManTest, ChordNotesCloseTogetherShrinkToOneByte) {
  FakeReader src;
  std::string expect;
  char buf[40];
  for (int d = -8; d <= 8; ++d) {
    src.NoteOn(480, 0, 60, 64).NoteOn(0, 0, static_cast<uint8_t>(60 + d), 64);
    if (d == -8 || d == 8) {
      std::snprintf(buf, sizeof buf, "1:08 3C | 1:08 %02X | ", 60 + d);
    } else {
      std::snprintf(buf, sizeof buf, "1:08 3C | 0:%X8 | ", d < 0 ? -d : 8 + d);
    }
    expect += buf;
  }
  src.NoteOn(480, 0, 127, 64).NoteOn(0, 0, 0, 64);
  src.NoteOn(480, 0, 70, 100).NoteOff(0, 0, 70);
  src.NoteOn(480, 0, 70, 100).NoteOn(0, 0, 70, 100).NoteOn(0, 0, 71, 100);
  ASSERT_EQ(Run(src), Result::kSuccess);
  EXPECT_EQ(test::SerialText(Music()),
            expect + "1:08 7F | 0:98 | 1:0C 46 | 0:80 | 1:0C 46 | 0:8C | 0:9C");
}

TEST_P(MidiManTest, VelocityCodesAndExpansionOnMergedChannels) {
  // Expanded: 1, 1, 1, 1, 1, 20, 66, 127, 127, 0.
  for (const auto& [profile, codes] :
       {std::pair{0, "1 1 1 2 2 5 8 B F 0 "}, std::pair{1, "1 1 1 1 1 2 8 F F 0 "}}) {
    FakeReader src;
    for (int v : {1, 7, 15, 16, 23, 40, 64, 95, 127, 0}) {
      src.NoteOn(480, 0, 60, static_cast<uint8_t>(v));
    }
    ASSERT_EQ(Run(src, profile), Result::kSuccess);
    std::string got;
    for (const auto& m : Music()) got += HexBytes({m.bytes[0]}).substr(1) + " ";
    EXPECT_EQ(got, codes) << profile;
  }
}

// The file's own GM on replaces the generated one; Yamaha piano SysEx is
// dropped, other SysEx framed and breaking the chain. Program changes merge
// and un-merge channels (an un-merged channel keeps its channel and velocity;
// percussion never merges). Controllers are filtered, pedals sent on change
// only (sustain on 0, soft on 2, the busiest), pressure and pitch bend dropped.
TEST_P(MidiManTest, EventsAreFilteredMergedAndFramed) {
  FakeReader src;
  src.SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7}).SysEx(480, {0x43, 0x71, 0x7E, 0x10, 0xF7});
  src.NoteOn(0, 0, 60, 64).SysEx(0, {0x41, 0x10, 0xF7}).NoteOn(0, 0, 62, 64);
  for (const std::vector<uint8_t>& e : std::vector<std::vector<uint8_t>>{
           {0x93, 60, 40},  {0xC3, 20},      {0x93, 60, 40},  {0xC3, 2},       {0x93, 60, 40},
           {0x99, 36, 127}, {0xC9, 0},       {0x99, 36, 127}, {0xB0, 64, 100}, {0xB0, 64, 90},
           {0xB0, 64, 10},  {0xB1, 64, 127}, {0xB2, 67, 80},  {0xB2, 67, 90},  {0xB0, 67, 80},
           {0xB0, 66, 0},   {0xB0, 66, 64},  {0xB0, 7, 90},   {0xB0, 1, 90},   {0xB0, 102, 5},
           {0xB0, 108, 6},  {0xB0, 109, 7},  {0xE0, 0, 80},   {0xD0, 80},      {0xA0, 60, 80},
           {0xB0, 64, 0}}) {
    src.Channel(480, e[0], {e.begin() + 1, e.end()});
  }
  ASSERT_EQ(Run(src, 1), Result::kSuccess);
  EXPECT_EQ(msgs_[0].bytes, (std::vector<uint8_t>{0xC0, 0x00}));
  EXPECT_EQ(test::SerialText(Music()),
            "3:F0 7E 7F 09 01 F7 | 1:08 3C | 3:F0 41 10 F7 | 1:08 3E | "
            "1:02 3C | 3:C3 14 | 1:35 3C | 3:C3 02 | 1:02 3C | 1:9F 24 | 3:C9 00 | 1:9F 24 | "
            "3:B0 40 7F | 3:B0 40 00 | 3:B0 43 7F | 3:B0 42 7F | 3:B0 07 5A | 3:B0 66 05 | "
            "3:B0 6C 06");
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
  const double due = msgs_[msgs_.size() - 3].startSample + 18 * Unit() + Frames(0.1);
  EXPECT_GE(music[0].startSample, due - Unit());
  EXPECT_LE(music[0].startSample, due + Unit() + 1);
}

// A two-track file through the real reader: every note comes back in order,
// with its velocity code, at its time to within a unit (later only when the
// line is still busy with the notes before it).
TEST_P(MidiManTest, RoundTripThroughAStandardMidiFile) {
  test::MidiBuilder midi(1, 480);
  midi.AddTrack().Tempo(0, 500000).Tempo(1920, 400000).End();
  auto& piano = midi.AddTrack();
  std::vector<double> seconds;
  std::vector<uint8_t> notes, velocities;
  uint32_t tick = 0;
  for (int i = 0; i < 60; ++i) {
    const uint32_t delta = i % 3 == 0 ? 0 : static_cast<uint32_t>(60 + i * 7 % 200);
    tick += delta;
    // Two seconds at 120 BPM, then 150 BPM.
    seconds.push_back(tick <= 1920 ? tick / 960.0 : 2.0 + (tick - 1920) * 400000.0 / 480e6);
    notes.push_back(static_cast<uint8_t>(40 + i * 11 % 50));
    velocities.push_back(static_cast<uint8_t>(i % 5 == 4 ? 0 : 20 + i * 13 % 100));
    piano.NoteOn(delta, 0, notes.back(), velocities.back());
  }
  piano.End();
  CSMF2MID smf;
  ASSERT_EQ(smf.OpenBuffer(midi.Build()), OpenResult::kOpened);
  ASSERT_EQ(Run(smf), Result::kSuccess);

  const auto music = Music();
  ASSERT_EQ(music.size(), notes.size());
  uint8_t note = 0;
  uint32_t busyUntil = 0;
  for (size_t i = 0; i < music.size(); ++i) {
    const auto& m = music[i];
    ASSERT_TRUE(m.syncs == 0 || m.syncs == 1) << i;
    const int h = m.bytes[0] >> 4;
    note = m.syncs == 1 ? m.bytes[1] : static_cast<uint8_t>((note + (h < 8 ? -h : h - 8)) & 0x7F);
    EXPECT_EQ(note, notes[i]) << i;
    EXPECT_EQ(m.bytes[0] & 0x0F, CMid2MIDIMan::VelocityCode(velocities[i])) << i;
    const double due = music[0].startSample + seconds[i] * Rate();
    // The scheduler measures its half unit over its first advance, which
    // includes the first note (18 units) as well as one idle symbol.
    EXPECT_GE(m.startSample + 10 * Unit() + 1, due) << i;
    EXPECT_LE(m.startSample, std::max<double>(due, busyUntil) + Unit() + 1) << i;
    busyUntil = m.startSample + static_cast<uint32_t>((m.syncs == 1 ? 18 : 8) * Unit()) + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(BothRates, MidiManTest, testing::Values(44100u, 48000u));

}  // namespace
}  // namespace tonvelo
