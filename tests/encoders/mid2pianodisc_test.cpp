#include "encoders/mid2pianodisc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "encoders/encoder_factory.h"
#include "encoders/mid2midiman.h"
#include "readers/smf2mid.h"
#include "decoders/pianodisc_decoder.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/midi_builder.h"
#include "tests/support/stream_text.h"

namespace tonvelo {
namespace {

using DiscMessage = StreamMessage;
using test::FakeReader;

class PianoDiscTest : public testing::TestWithParam<std::tuple<uint32_t, uint8_t>> {
 protected:
  uint32_t Rate() const { return std::get<0>(GetParam()); }
  bool Classic() const { return std::get<1>(GetParam()) == kPianoDiscClassic; }
  double Unit() const { return Rate() / 4009.0; }
  uint32_t Frames(double s) const { return static_cast<uint32_t>(Rate() * s + 0.5); }

  Result Run(CMusicFile2MID& source, int profile = 0, const std::string& title = "") {
    out_ = std::make_unique<test::MemoryOutput>();
    CMid2PianoDisc enc;
    enc.SetVariant(std::get<1>(GetParam()));
    enc.SetSampleRate(Rate());
    enc.SetVelocityProfile(profile);
    enc.SetOutput(out_.get());
    enc.SetSource(&source);
    enc.SetTitle(title);
    const Result r = enc.Encode();
    PianoDiscDetail detail;
    const DecodedTrack track = DecodePianoDisc(out_->Right().data(), out_->Size(), Rate(), &detail);
    EXPECT_TRUE(track.errors.empty());
    EXPECT_EQ(track.formatId, Classic() ? kPianoDiscClassicId : kPianoDiscSilentDrivePlusId);
    bytes_ = detail.bytes;
    msgs_ = detail.messages;
    return r;
  }

  // Messages of the music: after 0.755 s, before the three pedals-off.
  std::vector<DiscMessage> Music() const {
    std::vector<DiscMessage> out;
    for (size_t i = 0; i + 3 < msgs_.size(); ++i) {
      if (msgs_[i].startSample >= Frames(0.755)) out.push_back(msgs_[i]);
    }
    return out;
  }

  std::unique_ptr<test::MemoryOutput> out_;
  std::vector<PianoDiscByte> bytes_;
  std::vector<DiscMessage> msgs_;
};

constexpr const char* kTitleHeader = "F0 00 00 2A 00 01 01 ";
constexpr const char* kPedalsOff = " | B0 40 00 | B0 42 00 | B0 43 00";

TEST_P(PianoDiscTest, SetUpTitleFramingAndEnding) {
  FakeReader src;
  src.EndOfTrack();
  ASSERT_EQ(Run(src, 0, "07) A Very__Long_Title Indeed"), Result::kSuccess);
  std::string expect;
  char buf[32];
  for (int c = 0; c < 16; ++c) {
    std::snprintf(buf, sizeof buf, "C%X 00 | B%X 07 64 | ", c, c);
    expect += buf;
  }
  // "A Very Long Title In": the first 20 characters, '_' as space, runs folded.
  ASSERT_EQ(test::DiscText(msgs_), expect + kTitleHeader +
                                       "41 20 56 65 72 79 20 4C 6F 6E 67 20 54 69 74 6C 65 20 49 "
                                       "6E 00 F7" +
                                       kPedalsOff);
  for (size_t i = 0; i + 1 < bytes_.size(); ++i) ASSERT_GE(bytes_[i].stopCycles, Classic() ? 2u : 0u);
  // Back-to-back bytes: 11 half-cycles each in Classic, 9 without stops.
  for (size_t i = 1; i < 80; ++i) {
    ASSERT_EQ(bytes_[i].halfCycle - bytes_[i - 1].halfCycle, Classic() ? 11u : 9u) << i;
  }
  // Set-up at 0.25 s, title at 0.55 s, pedals off at 0.755 s (no music).
  for (const auto& [start, at] :
       {std::pair{bytes_[0].startSample, 0.25}, {msgs_[32].startSample, 0.55}, {msgs_[33].startSample, 0.755}}) {
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
  // Before it, 0.25 s of idle after the last pedal-off, B0 43 00.
  double lastUnits = 0;
  for (uint8_t b : {0xB0, 0x43, 0x00}) {
    lastUnits += 0.5 + (Classic() ? 2 : 0);
    for (int i = 0; i < 8; ++i) lastUnits += (b >> i & 1) ? 0.5 : 1.0;
  }
  const double idle = total - Rate() - (msgs_.back().startSample + lastUnits * Unit());
  EXPECT_GE(idle, Frames(0.25) - 1);
  EXPECT_LE(idle, Frames(0.25) + Unit() + 1);
}

// Running status survives idle time and a SysEx, whose 0xFF and 0x00 take
// 1 + 8 short (4.5 units) and 1 short + 8 long (8.5 units) half-cycles, plus
// two long stops in Classic.
TEST_P(PianoDiscTest, RunningStatusAndByteDurations) {
  FakeReader src;
  src.NoteOn(0, 0, 60, 64).NoteOn(0, 0, 62, 64).NoteOn(960, 0, 64, 64);
  src.SysEx(0, {0xFF, 0x00, 0xF7}).NoteOn(0, 0, 65, 64).NoteOff(480, 0, 60).NoteOn(0, 1, 67, 64);
  ASSERT_EQ(Run(src), Result::kSuccess);
  const auto music = Music();
  EXPECT_EQ(test::DiscText(music),
            "90 3C 40 | (90) 3E 40 | (90) 40 40 | F0 FF 00 F7 | "
            "(90) 41 40 | 80 3C 40 | 90 43 40");
  ASSERT_EQ(music.size(), 7u);
  const auto ff = std::find_if(bytes_.begin(), bytes_.end(),
                               [&](const auto& b) { return b.startSample > music[3].startSample; });
  const double stops = Classic() ? 2 : 0;
  EXPECT_NEAR(ff[1].startSample - ff[0].startSample, (4.5 + stops) * Unit(), 1.0);
  EXPECT_NEAR(ff[2].startSample - ff[1].startSample, (8.5 + stops) * Unit(), 1.0);
}

// A long chord keeps the line busy: the status byte comes again at the first
// event that starts more than half a second after the last one sent.
TEST_P(PianoDiscTest, StatusIsRefreshedAfterHalfASecondOfTransmission) {
  FakeReader src;
  for (int i = 0; i < 250; ++i) src.NoteOn(0, 0, static_cast<uint8_t>(20 + i % 80), 64);
  ASSERT_EQ(Run(src), Result::kSuccess);
  const auto music = Music();
  ASSERT_EQ(music.size(), 250u);
  uint32_t lastStatus = music[0].startSample;
  int refreshes = 0;
  for (size_t i = 1; i < music.size(); ++i) {
    const bool due = music[i].startSample - lastStatus > Frames(0.5);
    ASSERT_EQ(music[i].statusSent, due) << i;
    if (due) lastStatus = music[i].startSample, ++refreshes;
  }
  EXPECT_GE(refreshes, Classic() ? 2 : 1);
}

// Program changes merge and un-merge channel 2 (un-merged, it keeps its
// channel, velocity and pedal events); percussion never merges; pedals are
// sent on change only, sustain from channel 0 alone; other controllers,
// pressure and pitch bend are dropped.
TEST_P(PianoDiscTest, ProgramChangesMergeChannelsAndPedalsAreFiltered) {
  FakeReader src;
  for (const std::vector<uint8_t>& e : std::vector<std::vector<uint8_t>>{{0xB0, 64, 100},
                                                                         {0xB0, 64, 120},
                                                                         {0xB1, 64, 0},
                                                                         {0xC2, 10},
                                                                         {0x92, 60, 40},
                                                                         {0xB2, 64, 10},
                                                                         {0xC2, 3},
                                                                         {0x92, 60, 40},
                                                                         {0x99, 36, 40},
                                                                         {0xB0, 66, 70},
                                                                         {0xB0, 7, 90},
                                                                         {0xB0, 1, 90},
                                                                         {0xB0, 102, 5},
                                                                         {0xE0, 0, 80},
                                                                         {0xD0, 80},
                                                                         {0xA0, 60, 80},
                                                                         {0xB0, 64, 0}}) {
    src.Channel(0, e[0], {e.begin() + 1, e.end()});
  }
  ASSERT_EQ(Run(src, 1), Result::kSuccess);
  EXPECT_EQ(test::DiscText(Music()),
            "B0 40 7F | C2 0A | 92 3C 28 | B2 40 00 | C2 03 | 90 3C 14 | "
            "99 24 28 | B0 42 7F | (B0) 07 5A");
}

// The file's own title message replaces the generated one (and comes with
// the music); a title with no character sends none.
TEST_P(PianoDiscTest, OwnOrBlankTitleSendsNoGeneratedOne) {
  std::vector<uint8_t> own = {0x00, 0x00, 0x2A, 0x00, 0x01, 0x01, 'O', 'w', 'n'};
  own.resize(26);
  own.insert(own.end(), {0x00, 0xF7});
  FakeReader src;
  src.SysEx(0, own);
  ASSERT_EQ(Run(src, 0, "Generated"), Result::kSuccess);
  ASSERT_EQ(msgs_.size(), 32u + 1 + 3);
  EXPECT_EQ(test::DiscText({msgs_[32]}), "F0 " + HexBytes(own));
  EXPECT_GE(msgs_[32].startSample, Frames(0.755));
  EXPECT_TRUE(CMid2PianoDisc::BuildTitleMessage("__ _  _").empty());
  EXPECT_EQ(HexBytes(CMid2PianoDisc::BuildTitleMessage("_ Hi_ __there")),
            std::string(kTitleHeader) +
                "48 69 20 74 68 65 72 65 00 00 00 00 00 00 00 00 00 00 00 00 00 F7");
}

// A file through the real reader: notes, note-offs and pedal changes come
// back in order, with their values and running status, at their times.
TEST_P(PianoDiscTest, RoundTripThroughAStandardMidiFile) {
  test::MidiBuilder midi(0, 480);
  auto& track = midi.AddTrack();
  std::vector<uint32_t> ticks = {0};
  std::string expect = "90 32 5A";
  uint32_t tick = 0;
  int status = 0x90;
  bool pedal = false;
  char buf[32];
  track.NoteOn(0, 0, 50, 90);
  for (int i = 1; i < 80; ++i) {
    const uint32_t delta = i % 4 == 2 ? 0 : static_cast<uint32_t>(40 + i * 37 % 300);
    ticks.push_back(tick += delta);
    const int last = status;
    status = i % 5 == 0 ? 0xB0 : i % 3 ? 0x90 : 0x80;
    const auto note = static_cast<uint8_t>(30 + i * 17 % 60);
    const auto velocity = static_cast<uint8_t>(1 + i * 29 % 127);
    if (status == 0xB0) {
      pedal = !pedal;
      track.Control(delta, 0, 64, pedal ? 100 : 20);
    } else if (status == 0x90) {
      track.NoteOn(delta, 0, note, velocity);
    } else {
      track.NoteOff(delta, 0, note, 0x40);
    }
    std::snprintf(buf, sizeof buf, status == last ? " | (%X) %02X %02X" : " | %X %02X %02X", status,
                  status == 0xB0 ? 64 : note,
                  status == 0xB0   ? (pedal ? 127 : 0)
                  : status == 0x90 ? velocity
                                   : 0x40);
    expect += buf;
  }
  track.End();
  CSMF2MID smf;
  ASSERT_EQ(smf.OpenBuffer(midi.Build()), OpenResult::kOpened);
  ASSERT_EQ(Run(smf), Result::kSuccess);

  const auto music = Music();
  EXPECT_EQ(test::DiscText(music), expect);
  ASSERT_EQ(music.size(), ticks.size());
  uint32_t busyUntil = 0;
  for (size_t i = 0; i < music.size(); ++i) {
    const double due = music[0].startSample + ticks[i] / 960.0 * Rate();
    // Up to half the first advance early: it covers the first note (at most
    // 33 units) and one idle unit.
    EXPECT_GE(music[i].startSample + 17 * Unit() + 1, due) << i;
    EXPECT_LE(music[i].startSample, std::max<double>(due, busyUntil) + Unit() + 1) << i;
    busyUntil = music[i].startSample + static_cast<uint32_t>(3 * 11 * Unit()) + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(RatesAndVariants, PianoDiscTest,
                         testing::Combine(testing::Values(44100u, 48000u),
                                          testing::Values(kPianoDiscClassic,
                                                          kPianoDiscSilentDrivePlus)));

// Through the factory: ids 4 and 5 differ in stop half-cycles, 7 is
// MIDI-serial; all three stop on a write failure, damage or cancel.
TEST(SerialEncoders, FactoryVariantsAndFailures) {
  for (const int id : {4, 5, 7}) {
    FakeReader src;
    src.NoteOn(0, 0, 60, 64).NoteOn(480, 0, 62, 64);
    CancelFlag cancel{0};
    for (const Result want : {Result::kWriteError, Result::kSourceDamaged, Result::kCancelled}) {
      auto enc = CreateEncoder(id, {});
      test::MemoryOutput out;
      if (want == Result::kWriteError) out.FailAfter(20000);
      if (want == Result::kSourceDamaged) src.SetDamagedAt(1);
      if (want == Result::kCancelled) cancel = 1;
      enc->SetSampleRate(44100);
      enc->SetOutput(&out);
      enc->SetSource(&src);
      enc->SetCancelFlag(&cancel);
      EXPECT_EQ(enc->Encode(), want) << id;
      if (want != Result::kWriteError) continue;
      EXPECT_EQ(out.Size(), 20000u);
      if (id == 7) {
        EXPECT_NE(dynamic_cast<CMid2MIDIMan*>(enc.get()), nullptr);
      } else {
        PianoDiscDetail detail;
        DecodePianoDisc(out.Right().data(), out.Size(), 44100, &detail);
        EXPECT_EQ(detail.bytes[1].halfCycle - detail.bytes[0].halfCycle, id == 5 ? 11u : 9u) << id;
      }
    }
  }
}

}  // namespace
}  // namespace tonvelo
