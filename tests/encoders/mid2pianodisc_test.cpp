#include "encoders/mid2pianodisc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "encoders/encoder_factory.h"
#include "encoders/mid2midiman.h"
#include "readers/smf2mid.h"
#include "tests/encoders/serial_decoders.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

using test::DiscMessage;
using test::FakeReader;
using Bytes = std::vector<uint8_t>;
using Shape = std::tuple<int, bool, Bytes>;  // status, status byte sent, data
using Shapes = std::vector<Shape>;

Shapes ShapesOf(const std::vector<DiscMessage>& msgs) {
  Shapes out;
  for (const auto& m : msgs) out.push_back({m.status, m.statusSent, m.data});
  return out;
}

// The title message's data bytes, after F0.
Bytes TitleBody(const std::string& text) {
  Bytes m = {0x00, 0x00, 0x2A, 0x00, 0x01, 0x01};
  m.insert(m.end(), text.begin(), text.end());
  m.resize(6 + 20, 0);
  m.insert(m.end(), {0x00, 0xF7});
  return m;
}

class PianoDiscTest : public testing::TestWithParam<std::tuple<uint32_t, uint8_t>> {
 protected:
  uint32_t Rate() const { return std::get<0>(GetParam()); }
  bool Classic() const { return std::get<1>(GetParam()) == kPianoDiscClassic; }
  double Unit() const { return Rate() / 4009.0; }
  uint32_t Frames(double s) const { return static_cast<uint32_t>(Rate() * s + 0.5); }

  Result Run(CMusicFile2MID& source, int profile = 0, const std::string& title = "") {
    out_ = std::make_unique<test::MemoryOutput>();
    if (failAfter_ != 0) out_->FailAfter(failAfter_);
    CMid2PianoDisc enc;
    enc.SetVariant(std::get<1>(GetParam()));
    enc.SetSampleRate(Rate());
    enc.SetVelocityProfile(profile);
    enc.SetOutput(out_.get());
    enc.SetSource(&source);
    enc.SetCancelFlag(&cancel_);
    enc.SetTitle(title);
    const Result r = enc.Encode();
    bytes_ = test::DiscBytes(out_->Right(), Unit(), Classic());
    msgs_ = test::ParseDisc(bytes_);
    return r;
  }

  // Messages of the music: after 0.755 s, before the three pedals-off.
  std::vector<DiscMessage> Music() const {
    std::vector<DiscMessage> out;
    for (size_t i = 0; i + 3 < msgs_.size(); ++i) {
      if (msgs_[i].start >= Frames(0.755)) out.push_back(msgs_[i]);
    }
    return out;
  }

  std::unique_ptr<test::MemoryOutput> out_;
  size_t failAfter_ = 0;
  CancelFlag cancel_{0};
  std::vector<test::DiscByte> bytes_;
  std::vector<DiscMessage> msgs_;
};

TEST_P(PianoDiscTest, SetUpTitleFramingAndEnding) {
  FakeReader src;
  src.EndOfTrack();
  ASSERT_EQ(Run(src, 0, "07) My__Song_"), Result::kSuccess);

  Shapes expect;
  for (uint8_t c = 0; c < 16; ++c) {
    expect.push_back({0xC0 | c, true, {0x00}});
    expect.push_back({0xB0 | c, true, {0x07, 0x64}});
  }
  expect.push_back({0xF0, true, TitleBody("My Song ")});
  for (uint8_t pedal : {0x40, 0x42, 0x43}) expect.push_back({0xB0, true, {pedal, 0x00}});
  ASSERT_EQ(ShapesOf(msgs_), expect);
  for (const auto& b : bytes_) ASSERT_FALSE(b.badStop);

  // Back-to-back bytes: 11 half-cycles each in Classic, 9 without stops.
  for (size_t i = 1; i < 80; ++i) {
    ASSERT_EQ(bytes_[i].halfCycle - bytes_[i - 1].halfCycle, Classic() ? 11u : 9u) << i;
  }
  // Set-up at 0.25 s, title at 0.55 s, pedals off at 0.755 s (no music).
  for (const auto& [start, at] :
       {std::pair{bytes_[0].start, 0.25}, {msgs_[32].start, 0.55}, {msgs_[33].start, 0.755}}) {
    EXPECT_GE(start, Frames(at));
    EXPECT_LT(start, Frames(at) + Unit() + 1);
  }

  // Silence, a square wave of +-3800 on the right, silence for one second.
  const auto& right = out_->Right();
  const size_t total = right.size();
  for (uint32_t i = 0; i < Frames(0.016); ++i) ASSERT_EQ(right[i], 0) << i;
  for (size_t i = Frames(0.016); i < total - Rate(); ++i) ASSERT_EQ(std::abs(right[i]), 3800) << i;
  for (size_t i = total - Rate(); i < total; ++i) ASSERT_EQ(right[i], 0) << i;
  for (int16_t l : out_->Left()) ASSERT_EQ(l, 0);
  // Then 0.25 s of idle after the last pedal-off, B0 43 00.
  double lastUnits = 0;
  for (uint8_t b : {0xB0, 0x43, 0x00}) {
    lastUnits += 0.5 + (Classic() ? 2 : 0);
    for (int i = 0; i < 8; ++i) lastUnits += (b >> i & 1) ? 0.5 : 1.0;
  }
  const double idle = total - Rate() - (msgs_.back().start + lastUnits * Unit());
  EXPECT_GE(idle, Frames(0.25) - 1);
  EXPECT_LE(idle, Frames(0.25) + Unit() + 1);
}

// Running status survives idle time and a SysEx, whose 0xFF and 0x00 take
// 1 + 8 short (4.5 units) and 1 short + 8 long (8.5 units) half-cycles, plus
// two long stops in Classic.
TEST_P(PianoDiscTest, RunningStatusAndByteDurations) {
  FakeReader src;
  src.NoteOn(0, 0, 60, 64)
      .NoteOn(0, 0, 62, 64)
      .NoteOn(960, 0, 64, 64)  // a second of idle counts nothing
      .SysEx(0, {0xFF, 0x00, 0xF7})
      .NoteOn(0, 0, 65, 64)
      .NoteOff(480, 0, 60)
      .NoteOn(0, 1, 67, 64);
  ASSERT_EQ(Run(src), Result::kSuccess);
  const auto music = Music();
  EXPECT_EQ(ShapesOf(music), (Shapes{{0x90, true, {60, 64}},
                                     {0x90, false, {62, 64}},
                                     {0x90, false, {64, 64}},
                                     {0xF0, true, {0xFF, 0x00, 0xF7}},
                                     {0x90, false, {65, 64}},
                                     {0x80, true, {60, 0x40}},
                                     {0x90, true, {67, 64}}}));
  const auto ff = std::find_if(bytes_.begin(), bytes_.end(),
                               [&](const auto& b) { return b.start > music[3].start; });
  ASSERT_LT(ff + 2, bytes_.end());
  const double stops = Classic() ? 2 : 0;
  EXPECT_NEAR(ff[1].start - ff[0].start, (4.5 + stops) * Unit(), 1.0);
  EXPECT_NEAR(ff[2].start - ff[1].start, (8.5 + stops) * Unit(), 1.0);
}

// A long chord keeps the line busy: the status byte comes again at the first
// event that starts more than half a second after the last one sent.
TEST_P(PianoDiscTest, StatusIsRefreshedAfterHalfASecondOfTransmission) {
  FakeReader src;
  for (int i = 0; i < 250; ++i) src.NoteOn(0, 0, static_cast<uint8_t>(20 + i % 80), 64);
  ASSERT_EQ(Run(src), Result::kSuccess);
  const auto music = Music();
  ASSERT_EQ(music.size(), 250u);
  uint32_t lastStatus = music[0].start;
  int refreshes = 0;
  for (size_t i = 1; i < music.size(); ++i) {
    const bool due = music[i].start - lastStatus > Frames(0.5);
    ASSERT_EQ(music[i].statusSent, due) << i;
    if (due) lastStatus = music[i].start, ++refreshes;
  }
  EXPECT_GE(refreshes, Classic() ? 2 : 1);
}

TEST_P(PianoDiscTest, ProgramChangesMergeChannelsAndPedalsAreFiltered) {
  FakeReader src;
  src.Control(0, 0, 64, 100)
      .Control(0, 0, 64, 120)  // already down
      .Control(0, 1, 64, 0)    // merged, not the sustain channel
      .Program(0, 2, 10)
      .NoteOn(0, 2, 60, 40)
      .Control(0, 2, 64, 10)  // unmerged: kept, but the pedal is down -> up
      .Program(0, 2, 3)
      .NoteOn(0, 2, 60, 40)
      .NoteOn(0, 9, 36, 40)
      .Control(0, 0, 66, 70)
      .Control(0, 0, 7, 90)
      .Control(0, 0, 1, 90)
      .Control(0, 0, 102, 5)
      .Channel(0, 0xE0, {0x00, 0x50})
      .Channel(0, 0xD0, {0x50})
      .Channel(0, 0xA0, {60, 0x50})
      .Control(0, 0, 64, 0);  // already up
  ASSERT_EQ(Run(src, 1), Result::kSuccess);
  EXPECT_EQ(ShapesOf(Music()), (Shapes{{0xB0, true, {64, 127}},
                                       {0xC2, true, {10}},
                                       {0x92, true, {60, 40}},
                                       {0xB2, true, {64, 0}},
                                       {0xC2, true, {3}},
                                       {0x90, true, {60, 20}},
                                       {0x99, true, {36, 40}},
                                       {0xB0, true, {66, 127}},
                                       {0xB0, false, {7, 90}}}));
}

TEST(PianoDiscTitle, TwentyCharactersSpacesFoldedNothingFromBlanks) {
  for (const auto& [title, text] :
       {std::pair<const char*, const char*>{"A Very Long Title Indeed", "A Very Long Title In"},
        {"  Hi_ __there", "Hi there"}}) {
    Bytes expect = TitleBody(text);
    expect.insert(expect.begin(), 0xF0);
    EXPECT_EQ(CMid2PianoDisc::BuildTitleMessage(title), expect) << title;
  }
  EXPECT_TRUE(CMid2PianoDisc::BuildTitleMessage("__ _  _").empty());
  EXPECT_TRUE(CMid2PianoDisc::BuildTitleMessage("").empty());
}

// The file's own title message replaces the generated one (and comes with
// the music); a blank title sends none.
TEST_P(PianoDiscTest, OwnOrBlankTitleSendsNoGeneratedOne) {
  FakeReader own;
  own.SysEx(0, TitleBody("Own"));
  ASSERT_EQ(Run(own, 0, "Generated"), Result::kSuccess);
  ASSERT_EQ(msgs_.size(), 32u + 1 + 3);
  EXPECT_EQ(ShapesOf(msgs_)[32], (Shape{0xF0, true, TitleBody("Own")}));
  EXPECT_GE(msgs_[32].start, Frames(0.755));

  FakeReader blank;
  blank.EndOfTrack();
  ASSERT_EQ(Run(blank, 0, "__ _"), Result::kSuccess);
  EXPECT_EQ(msgs_.size(), 32u + 3);
}

TEST_P(PianoDiscTest, FailuresStopTheEncoding) {
  FakeReader src;
  src.NoteOn(0, 0, 60, 64).NoteOn(480, 0, 62, 64);
  failAfter_ = 30000;
  EXPECT_EQ(Run(src), Result::kWriteError);
  EXPECT_EQ(out_->Size(), 30000u);
  failAfter_ = 0;
  src.SetDamagedAt(1);
  EXPECT_EQ(Run(src), Result::kSourceDamaged);
  cancel_ = 1;
  EXPECT_EQ(Run(src), Result::kCancelled);
}

// A file through the real reader: notes, note-offs and pedal changes come
// back in order, with their values and running status, at their times.
TEST_P(PianoDiscTest, RoundTripThroughAStandardMidiFile) {
  test::MidiBuilder midi(0, 480);
  auto& track = midi.AddTrack();
  std::vector<std::pair<uint32_t, Shape>> expect;  // tick, message
  uint32_t tick = 0;
  bool pedal = false;
  track.NoteOn(0, 0, 50, 90);
  expect.push_back({0, {0x90, true, {50, 90}}});
  for (int i = 1; i < 80; ++i) {
    const uint32_t delta = i % 4 == 2 ? 0 : static_cast<uint32_t>(40 + i * 37 % 300);
    tick += delta;
    const auto note = static_cast<uint8_t>(30 + i * 17 % 60);
    const auto velocity = static_cast<uint8_t>(1 + i * 29 % 127);
    const int status = i % 5 == 0 ? 0xB0 : i % 3 ? 0x90 : 0x80;
    const bool sent = std::get<0>(expect.back().second) != status;
    if (status == 0xB0) {
      pedal = !pedal;
      track.Control(delta, 0, 64, pedal ? 100 : 20);
      expect.push_back({tick, {status, sent, {64, static_cast<uint8_t>(pedal ? 127 : 0)}}});
    } else if (status == 0x90) {
      track.NoteOn(delta, 0, note, velocity);
      expect.push_back({tick, {status, sent, {note, velocity}}});
    } else {
      track.NoteOff(delta, 0, note, 0x40);
      expect.push_back({tick, {status, sent, {note, 0x40}}});
    }
  }
  track.End();
  CSMF2MID smf;
  ASSERT_EQ(smf.OpenBuffer(midi.Build()), OpenResult::kOpened);
  ASSERT_EQ(Run(smf), Result::kSuccess);

  const auto music = Music();
  ASSERT_EQ(music.size(), expect.size());
  uint32_t busyUntil = 0;
  for (size_t i = 0; i < music.size(); ++i) {
    EXPECT_EQ(ShapesOf({music[i]})[0], expect[i].second) << i;
    const double due = music[0].start + expect[i].first / 960.0 * Rate();
    // Up to half the first advance early: it covers the first note (at most
    // 33 units) and one idle unit.
    EXPECT_GE(music[i].start + 17 * Unit() + 1, due) << i;
    EXPECT_LE(music[i].start, std::max<double>(due, busyUntil) + Unit() + 1) << i;
    busyUntil = music[i].start + static_cast<uint32_t>(3 * 11 * Unit()) + 1;
  }
}

TEST(PianoDiscFactory, IdsFourAndFiveDifferInStopHalfCycles) {
  for (const int id : {4, 5}) {
    auto enc = CreateEncoder(id, {});
    ASSERT_NE(dynamic_cast<CMid2PianoDisc*>(enc.get()), nullptr);
    FakeReader src;
    src.EndOfTrack();
    test::MemoryOutput out;
    enc->SetSampleRate(44100);
    enc->SetOutput(&out);
    enc->SetSource(&src);
    ASSERT_EQ(enc->Encode(), Result::kSuccess);
    const auto bytes = test::DiscBytes(out.Right(), 44100 / 4009.0, id == 5);
    EXPECT_EQ(bytes[1].halfCycle - bytes[0].halfCycle, id == 5 ? 11u : 9u) << id;
  }
  EXPECT_NE(dynamic_cast<CMid2MIDIMan*>(CreateEncoder(7, {}).get()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(RatesAndVariants, PianoDiscTest,
                         testing::Combine(testing::Values(44100u, 48000u),
                                          testing::Values(kPianoDiscClassic,
                                                          kPianoDiscSilentDrivePlus)));

}  // namespace
}  // namespace tonvelo
