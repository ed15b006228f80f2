// The MIDI-serial encoder: set-up, timing and ending, the short note forms,
// velocity codes, the stream rules and the accompaniment.

#include "encoders/mid2midiman.h"

#include <gtest/gtest.h>

#include "tests/support/fake_accompaniment.h"
#include "tests/support/stream_run.h"

namespace tonvelo {
namespace {

using test::Text;

class MidiManTest : public test::StreamTest {};

INSTANTIATE_TEST_SUITE_P(BothRates, MidiManTest,
                         testing::Combine(testing::Values(44100u, 48000u), testing::Values(7)));

TEST_P(MidiManTest, SetUpSequenceTimingAndEnding) {
  const auto& msgs = Run("").msgs;
  std::string expect = "3:F0 7E 7F 09 01 F7";
  for (int c = 0; c < 16; ++c) {
    expect += " | 3:" + HexBytes({uint8_t(0xC0 | c), 0}) +
              " | 3:" + HexBytes({uint8_t(c == 9 ? 0xB9 : 0xB0), 7, 0x64});
  }
  ASSERT_EQ(Text(msgs), expect + " | 1:00 00 | 3:");
  // 0.05 s of silence, idle symbols (each starting with one 0 sample), the
  // GM on at 0.175 s and the channel set-up at 0.25 s, back to back; it runs
  // past 0.489 s, so the closing syncs follow the silent note at once.
  const auto& left = run_->out.Left();
  for (uint32_t i = 0; i <= Frames(0.05); ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[Frames(0.05) + 1], 0);
  for (const auto& [i, at] : {std::pair{0, 0.175}, {1, 0.25}}) {
    EXPECT_GE(msgs[i].startSample, Frames(at));
    EXPECT_LE(msgs[i].startSample, Frames(at) + Unit() + 1);
  }
  for (size_t i = 2; i < msgs.size(); ++i) {
    const double units = msgs[i - 1].bytes.size() * 8 + 2 * msgs[i - 1].syncs;
    EXPECT_NEAR(msgs[i].startSample - msgs[i - 1].startSample, units * Unit(), 1.0) << i;
  }
  EXPECT_GT(msgs[msgs.size() - 2].startSample, Frames(0.489));
  // 0.1 s + 0.1 s of idle after the closing syncs, then one second of silence.
  const size_t total = left.size();
  for (size_t i = total - Rate(); i < total; ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[total - Rate() - 2], 0);
  EXPECT_GE(total - Rate() - msgs.back().startSample, Frames(0.2) + 6 * Unit() - 2);
  EXPECT_LE(total - Rate() - msgs.back().startSample, Frames(0.2) + 8 * Unit() + 4);
  for (int16_t r : run_->out.Right()) ASSERT_EQ(r, 0);
}

// Two-note chords 60, 60 + d for d = -8..8, apart so that idle closes the
// chain, shrink to one byte within 7 steps; then 127 -> 0 wraps to +1, a note
// off is velocity code 0, and a repeated note is distance 0.
TEST_P(MidiManTest, ChordNotesCloseTogetherShrinkToOneByte) {
  std::string events, expect;
  for (int d = -8; d <= 8; ++d) {
    const std::string note = HexBytes({uint8_t(60 + d)});
    events += "@480 90 3C 40, 90 " + note + " 40, ";
    expect +=
        "1:08 3C | " +
        (d == -8 || d == 8 ? "1:08 " + note : HexBytes({uint8_t((d < 0 ? -d : 8 + d) << 4 | 8)})) +
        " | ";
  }
  Run(events +
      "@480 90 7F 40, 90 00 40, @480 90 46 64, 80 46 40, @480 90 46 64, 90 46 64, 90 47 64");
  EXPECT_EQ(Text(Music()), expect + "1:08 7F | 98 | 1:0C 46 | 80 | 1:0C 46 | 8C | 9C");
}

// The file's own GM on replaces the generated one; Yamaha piano SysEx is
// dropped, other SysEx framed and breaking the chain. Program changes merge
// and un-merge channels (an un-merged channel keeps its channel and velocity;
// percussion never merges). Controllers are filtered, pedals sent on change
// only (sustain on 0, soft on 2, the busiest), pressure and pitch bend dropped.
// Velocities in codes of 8, expanded first on merged channels in profile 1.
TEST_P(MidiManTest, StreamRules) {
  struct Case {
    int profile;
    std::string events, expect;
  } cases[] = {
      {1,
       "F0 7E 7F 09 01 F7, @480 F0 43 71 7E 10 F7, 90 3C 40, F0 41 10 F7, 90 3E 40, @480 93 3C 28, "
       "@480 C3 14, @480 93 3C 28, @480 C3 02, @480 93 3C 28, @480 99 24 7F, @480 C9 00, "
       "@480 99 24 7F, @480 B0 40 64, @480 B0 40 5A, @480 B0 40 0A, @480 B1 40 7F, @480 B2 43 50, "
       "@480 B2 43 5A, @480 B0 43 50, @480 B0 42 00, @480 B0 42 40, @480 B0 07 5A, @480 B0 01 5A, "
       "@480 B0 66 05, @480 B0 6C 06, @480 B0 6D 07, @480 E0 00 50, @480 D0 50, @480 A0 3C 50, "
       "@480 B0 40 00",
       "3:F0 7E 7F 09 01 F7 | 1:08 3C | 3:F0 41 10 F7 | 1:08 3E | 1:02 3C | 3:C3 14 | 1:35 3C | "
       "3:C3 02 | 1:02 3C | 1:9F 24 | 3:C9 00 | 1:9F 24 | 3:B0 40 7F | 3:B0 40 00 | 3:B0 43 7F | "
       "3:B0 42 7F | 3:B0 07 5A | 3:B0 66 05 | 3:B0 6C 06"},
      // Expanded: 1, 1, 1, 1, 1, 20, 66, 127, 127, 0.
      {0, "",
       "1:01 3C | 1:01 3C | 1:01 3C | 1:02 3C | 1:02 3C | 1:05 3C | 1:08 3C | 1:0B 3C | 1:0F 3C | "
       "1:00 3C"},
      {1, "",
       "1:01 3C | 1:01 3C | 1:01 3C | 1:01 3C | 1:01 3C | 1:02 3C | 1:08 3C | 1:0F 3C | 1:0F 3C | "
       "1:00 3C"},
  };
  for (Case& c : cases) {
    if (c.events.empty()) {
      for (int v : {1, 7, 15, 16, 23, 40, 64, 95, 127, 0})
        c.events += "@480 90 3C " + HexBytes({uint8_t(v)}) + ",";
    }
    Run(c.events, {.profile = c.profile});
    EXPECT_EQ(Text(Music()), c.expect);
    if (&c == cases) {
      EXPECT_EQ(Text({run_->msgs[0]}), "3:C0 00");  // the file's GM on only
    }
  }
}

TEST_P(MidiManTest, AccompanimentOnTheRightAndTheEndWaitsForIt) {
  const uint32_t length = Rate() / 2;
  auto acc = test::FakeAccompaniment::Mono(std::vector<int16_t>(length, 1000), Rate());
  const auto& right = Run("@96 90 3C 40, @480 FF 2F", {.accompaniment = &acc}).out.Right();
  for (uint32_t i = 0; i < Rate(); ++i) ASSERT_EQ(right[i], 0) << i;
  EXPECT_EQ(right[Rate() + 200], 500);
  EXPECT_EQ(right[Rate() + length - 1], 2);
  // 0.1 s of idle after the recording, then one second of silence.
  const size_t total = run_->out.Size();
  EXPECT_GE(total, 2 * Rate() + length + Frames(0.1));
  EXPECT_LE(total, 2 * Rate() + length + Frames(0.1) + 2 * Unit() + 4);
  // With an accompaniment the note's 0.1 s lead-in is kept.
  const auto music = Music();
  ASSERT_EQ(music.size(), 1u);
  const auto& msgs = run_->msgs;
  const double due = msgs[msgs.size() - 3].startSample + 18 * Unit() + Frames(0.1);
  EXPECT_GE(music[0].startSample, due - Unit());
  EXPECT_LE(music[0].startSample, due + Unit() + 1);
}

}  // namespace
}  // namespace tonvelo
