// The PianoDisc encoder, Classic (5) and Silent Drive Plus (4): set-up,
// title, byte framing and the ending; running status; the stream rules.

#include "encoders/mid2pianodisc.h"

#include <gtest/gtest.h>

#include "tests/support/stream_run.h"

namespace tonvelo {
namespace {

using test::Text;

class PianoDiscTest : public test::StreamTest {
 protected:
  bool Classic() const { return Id() == 5; }
};

INSTANTIATE_TEST_SUITE_P(RatesAndVariants, PianoDiscTest,
                         testing::Combine(testing::Values(44100u, 48000u), testing::Values(4, 5)));

TEST_P(PianoDiscTest, SetUpTitleFramingAndEnding) {
  const auto& bytes = Run("", {.title = "07) A Very__Long_Title Indeed"}).pd.bytes;
  const auto& msgs = run_->msgs;
  std::string expect;
  for (uint8_t c = 0; c < 16; ++c)
    expect +=
        HexBytes({uint8_t(0xC0 | c), 0}) + " | " + HexBytes({uint8_t(0xB0 | c), 7, 0x64}) + " | ";
  // "A Very Long Title In": the first 20 characters, '_' as space, runs folded.
  ASSERT_EQ(Text(msgs), expect +
                            "F0 00 00 2A 00 01 01 41 20 56 65 72 79 20 4C 6F 6E 67 20 54 69 74 6C "
                            "65 20 49 6E 00 F7 | B0 40 00 | B0 42 00 | B0 43 00");
  // Back-to-back bytes: 11 half-cycles each in Classic, 9 without stops.
  for (size_t i = 1; i < 80; ++i) {
    ASSERT_EQ(bytes[i].halfCycle - bytes[i - 1].halfCycle, Classic() ? 11u : 9u) << i;
  }
  // Set-up at 0.25 s, title at 0.55 s, pedals off at 0.755 s (no music).
  for (const auto& [start, at] : {std::pair{bytes[0].startSample, 0.25},
                                  {msgs[32].startSample, 0.55},
                                  {msgs[33].startSample, 0.755}}) {
    EXPECT_GE(start, Frames(at));
    EXPECT_LT(start, Frames(at) + Unit() + 1);
  }
  // Silence, a square wave of +-3800 on the right, silence for one second.
  const auto& right = run_->out.Right();
  const size_t total = right.size();
  for (size_t i = 0; i < total; ++i) {
    const bool wave = i >= Frames(0.016) && i < total - Rate();
    ASSERT_EQ(std::abs(right[i]), wave ? 3800 : 0) << i;
  }
  for (int16_t l : run_->out.Left()) ASSERT_EQ(l, 0);
  // Before it, 0.25 s of idle after the last pedal-off, B0 43 00.
  double lastUnits = 0;
  for (uint8_t b : {0xB0, 0x43, 0x00}) {
    lastUnits += 0.5 + (Classic() ? 2 : 0);
    for (int i = 0; i < 8; ++i) lastUnits += (b >> i & 1) ? 0.5 : 1.0;
  }
  const double idle = total - Rate() - (msgs.back().startSample + lastUnits * Unit());
  EXPECT_GE(idle, Frames(0.25) - 1);
  EXPECT_LE(idle, Frames(0.25) + Unit() + 1);
}

// A long chord keeps the line busy: the status byte comes again at the first
// event that starts more than half a second after the last one sent.
TEST_P(PianoDiscTest, StatusIsRefreshedAfterHalfASecondOfTransmission) {
  std::string chord;
  for (int i = 0; i < 250; ++i) chord += "90 " + HexBytes({uint8_t(20 + i % 80)}) + " 40,";
  Run(chord);
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

// Running status survives idle time and a SysEx. Program changes merge and
// un-merge channel 2 (un-merged, it keeps its channel, velocity and pedals);
// percussion never merges; pedals are sent on change only, sustain from
// channel 0 alone; other controllers, pressure and pitch bend are dropped.
// The file's own title message replaces the generated one, with the music.
TEST_P(PianoDiscTest, StreamRules) {
  Run("90 3C 40, 90 3E 40, @960 90 40 40, F0 FF 00 F7, 90 41 40, @480 80 3C 40, 91 43 40");
  EXPECT_EQ(Text(Music()),
            "90 3C 40 | (90) 3E 40 | (90) 40 40 | F0 FF 00 F7 | (90) 41 40 | 80 3C 40 | 90 43 40");
  Run("B0 40 64, B0 40 78, B1 40 00, C2 0A, 92 3C 28, B2 40 0A, C2 03, 92 3C 28, 99 24 28, "
      "B0 42 46, B0 07 5A, B0 01 5A, B0 66 05, E0 00 50, D0 50, A0 3C 50, B0 40 00",
      {.profile = 1});
  EXPECT_EQ(Text(Music()),
            "B0 40 7F | C2 0A | 92 3C 28 | B2 40 00 | C2 03 | 90 3C 14 | 99 24 28 | B0 42 7F | "
            "(B0) 07 5A");
  std::string own = "F0 00 00 2A 00 01 01 4F 77 6E";
  for (int i = 0; i < 18; ++i) own += " 00";
  Run(own + " F7", {.title = "Generated"});
  ASSERT_EQ(run_->msgs.size(), 32u + 1 + 3);
  EXPECT_EQ(Text({run_->msgs[32]}), own + " F7");
  EXPECT_GE(run_->msgs[32].startSample, Frames(0.755));
}

TEST(PianoDisc, TitleMessage) {
  EXPECT_TRUE(CMid2PianoDisc::BuildTitleMessage("__ _  _").empty());  // no character: none sent
  EXPECT_EQ(
      HexBytes(CMid2PianoDisc::BuildTitleMessage("_ Hi_ __there")),
      "F0 00 00 2A 00 01 01 48 69 20 74 68 65 72 65 00 00 00 00 00 00 00 00 00 00 00 00 00 F7");
}

}  // namespace
}  // namespace tonvelo
