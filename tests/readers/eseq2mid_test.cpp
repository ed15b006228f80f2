// The ESEQ reader on hand-made files.

#include "readers/eseq2mid.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/readers/event_list.h"
#include "tests/support/eseq_builder.h"

namespace tonvelo::test {
namespace {

using enum OpenResult;

const std::string kN60 = "d=0 t=500000 90 3C 01";
const std::string kN61 = "d=0 t=500000 90 3D 01";
const std::string kEndOfTrack = "d=0 t=500000 meta 2F";

Bytes Song(const Bytes& events, uint8_t parts = 1) {
  return EseqBuilder().PartCount(parts).Events(events).Build();
}

TEST(ESEQ2MID, OpenResults) {
  const Bytes good = Song({0xF1, 0x00, 0x90, 60, 1, 0xF2});
  Bytes foreign = good;
  foreign[14] = 'X';
  const std::tuple<const char*, Bytes, OpenResult> cases[] = {
      {"short header", Bytes(good.begin(), good.begin() + 38), kReadIncomplete},
      {"foreign magic", foreign, kNotThisFormat},
      {"first block leaves no events", EseqBuilder().Block(Bytes(10, 0)).Build(), kDamaged},
      {"first block and one byte", EseqBuilder().Block(Bytes(10, 0)).Events({0xF1}).Build(),
       kOpened},
  };
  CESEQ2MID r;
  for (const auto& [what, file, result] : cases) EXPECT_EQ(r.OpenBuffer(file), result) << what;
  EXPECT_EQ(r.Open("/nonexistent/song.fil"), kCannotOpen);
  EXPECT_STREQ(r.GetDescription(), "Yamaha ESEQ file");
  r.Close();
  r.Close();
  EXPECT_EQ(Answers(r, 1), Goldens{"end"});
  EXPECT_EQ(r.GetPercentDone(), 0u);
}

TEST(ESEQ2MID, EventStreams) {
  // clang-format off
  const std::tuple<uint8_t, Bytes, Goldens> cases[] = {
      // P = 1: the first part end is End of Track; the next part start ends the song.
      {1, {0xF1, 0, 0x90, 60, 1, 0xF2, 0x90, 63, 1, 0xF1, 0, 0x90, 61, 1},
       {kN60, kEndOfTrack, "end"}},
      // P = 0: only the first part plays, and it has no End of Track.
      {0, {0xF1, 0, 0x90, 60, 1, 0xF2, 0xF1, 0, 0x90, 61, 1}, {kN60, "end"}},
      {0, {0xF1, 0, 0x90, 60, 1, 0xF1, 0, 0x90, 61, 1}, {kN60, kN61, "end"}},
      {2, {0xF1, 0, 0x90, 60, 1, 0xF2, 0xF1, 0, 0x90, 61, 1, 0xF2, 0xF1, 0, 0x90, 62, 1},
       {kN60, kN61, kEndOfTrack, "end"}},
      // Outside a part everything but a part start is skipped, even bad bytes.
      {1, {0x00, 0x90, 0xF3, 0x80, 0xF0, 0xF1, 0, 0x90, 60, 1}, {kN60, "end"}},
      // A malformed event fails alone: operands above 127 (a pair is taken
      // whole), a data byte where a status belongs, an operand past the end,
      // unterminated system exclusive, a cut message.
      {1, {0xF1, 0, 0xF3, 0x80, 0x90, 60, 1}, {"damaged", kN60, "end"}},
      {1, {0xF1, 0, 0xF4, 0x00, 0x80, 0x90, 60, 1}, {"damaged", kN60, "end"}},
      {1, {0xF1, 0, 0x3C, 0x90, 60, 1}, {"damaged", kN60, "end"}},
      {1, {0xF1, 0, 0x90, 60, 1, 0xF4, 0x01}, {kN60, "damaged", "end"}},
      {1, {0xF1, 0, 0xF0, 0x43, 0x10}, {"damaged", "end"}},
      {1, {0xF1, 0, 0x90, 60}, {"damaged", "end"}},
      {1, {0xF1, 0x00,
           0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7,
           0xF7,                    // a lone 0xF7 is a status without data
           0xFE, 0x10, 0x3C, 0x40,  // escaped status 0x90
           0xFE, 0x78,              // escaped 0xF8: no data bytes
           0xC3, 0x05, 0xD4, 0x20, 0xE5, 0x00, 0x40,
           0xF5, 0xF6, 0xF8, 0xFA, 0xFC, 0xFD, 0xFF, 0x12,  // no events
           0xF3, 0x0A, 0xF4, 0x00, 0x01, 0xA0, 60, 1,
           0xF4, 0x7F, 0x7F, 0xF2, 0xF3, 0x20},  // waits at the very end go nowhere
       {"d=0 t=500000 sysex F0 F0 43 10 4C 00 00 7E 00 F7", "d=0 t=500000 F7",
        "d=0 t=500000 90 3C 40", "d=0 t=500000 F8", "d=0 t=500000 C3 05", "d=0 t=500000 D4 20",
        "d=0 t=500000 E5 00 40", "d=138 t=500000 A0 3C 01", "d=16383 t=500000 meta 2F", "end"}},
  };
  // clang-format on
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [parts, events, expected] = cases[i];
    CESEQ2MID r;
    ASSERT_EQ(r.OpenBuffer(Song(events, parts)), kOpened) << "case " << i;
    EXPECT_EQ(Answers(r, expected.size()), expected) << "case " << i;
  }
}

// The 80-byte first block's tempo code wins over the header's (code 0 is 120
// there too), and its title halves are joined: spaces collapse, a word over
// the boundary splits, NUL ends it. Other blocks hold neither.
TEST(ESEQ2MID, FirstBlockTempoAndTitle) {
  const auto song = [](EseqBuilder b) { return b.Events({0xF1, 0x00, 0x90, 60, 1}).Build(); };
  const std::tuple<Bytes, uint32_t, uint32_t, std::string> cases[] = {
      {song(EseqBuilder().TempoCode(255)), 284, 211268, ""},
      {song(EseqBuilder().TempoCode(91).TitleBlock(71, "ABCDEFGHIJKLMNOP", "QRST")), 100, 600000,
       "ABCDEFGHIJKLMNOP QRST"},
      {song(EseqBuilder().TempoCode(1).TitleBlock(0, "  TWO   SPACES", " X")), 120, 500000,
       "TWO SPACES X"},
      {song(EseqBuilder().TitleBlock(0, std::string("NUL\0AFTER", 9), "MORE")), 120, 500000, "NUL"},
      {song(EseqBuilder().TempoCode(91).Block(Bytes(81, 71))), 120, 500000, ""},
  };
  for (const auto& [file, bpm, tempo, title] : cases) {
    CESEQ2MID r;
    EXPECT_EQ(OpenAndRead(r, file),
              (Goldens{"d=0 t=" + std::to_string(tempo) + " 90 3C 01", "end"}));
    EXPECT_EQ(std::make_tuple(r.GetInitialBPM(), r.GetTicksPerSecond(), std::string(r.GetTitle())),
              std::make_tuple(bpm, bpm * 100 * 384 / 6000.0, title));
  }
}

// Tempo changes scale the initial tempo. The scan leaves the file's last beat
// exponent in force (five bits count); within a pass a new one takes effect at
// the next tempo change.
TEST(ESEQ2MID, TempoChangesAndTheBeatExponent) {
  for (auto [exponent, division] : {std::pair{0, 1536u}, {11, 1u}, {32 + 3, 192u}}) {
    CESEQ2MID r;
    ASSERT_EQ(r.OpenBuffer(Song({0xF1, 0, 0xF9, 0x04, static_cast<uint8_t>(exponent)})), kOpened);
    EXPECT_EQ(r.GetDivision(), division) << exponent;  // 1536 >> 11 would be 0
  }
  // clang-format off
  CESEQ2MID r;
  ASSERT_EQ(r.OpenBuffer(Song({0xF1, 0x00, 0xF9, 0x04, 0x01, 0x90, 60, 1,
      0xFB, 0x68, 0x07,  // 1000: unchanged
      0xFB, 0x74, 0x03,  // 500: half
      0xFB, 0x01, 0x00,  // 1 × 120 / 1000 = 0 BPM: ignored
      0xFB, 0x61, 0x03,  // 481 × 120 / 1000 = 57.72: 57, from the initial tempo again
      0xF9, 0x04, 0x02, 0xF2})), kOpened);
  // clang-format on
  EXPECT_EQ(r.GetDivision(), 384u);
  EXPECT_EQ(Answers(r, 1), Goldens{kN60});
  EXPECT_EQ(r.GetDivision(), 384u);
  EXPECT_EQ(Answers(r, 1), Goldens{"d=0 t=500000 meta 51"});
  EXPECT_EQ(std::make_pair(r.GetDivision(), r.GetTicksPerSecond()), std::make_pair(768u, 1536.0));
  EXPECT_EQ(Answers(r), (Goldens{"d=0 t=500000 meta 51", "d=0 t=1000000 meta 51",
                                 "d=0 t=1000000 meta 51", "d=0 t=1052632 meta 2F", "end"}));
  EXPECT_EQ(std::make_tuple(r.GetBPM(), r.GetTicksPerSecond(), r.GetMaxGapTicks()),
            std::make_tuple(57u, 57 * 100 * 768 / 6000.0, 730u * 86400));  // 729.6 rounded
  ASSERT_EQ(r.Rewind(), kOpened);
  EXPECT_EQ(std::make_pair(r.GetBPM(), r.GetDivision()), std::make_pair(120u, 384u));
}

TEST(ESEQ2MID, GapOverADayIsDamageUntilTheNextOpen) {
  // 768 ticks per second: a day is 66 355 200 ticks, 4050.2 full waits.
  auto longWait = [](uint32_t waits) {
    Bytes b = {0xF1, 0, 0x90, 60, 1};
    for (uint32_t i = 0; i < waits; ++i) b.insert(b.end(), {0xF4, 0x7F, 0x7F});
    b.insert(b.end(), {0x90, 61, 1});
    return Song(b);
  };
  CESEQ2MID r;
  EXPECT_EQ(OpenAndRead(r, longWait(4050)), (Goldens{kN60, "d=66351150 t=500000 90 3D 01", "end"}));
  ASSERT_EQ(r.OpenBuffer(longWait(4051)), kOpened);
  EXPECT_EQ(r.GetLength(), 0u);  // the scan stopped at the gap
  // Each pass delivers the events before the gap; then, and after any pass, damage.
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(Answers(r, 3), (Goldens{kN60, "damaged", "damaged"})) << pass;
    ASSERT_EQ(r.Rewind(), kOpened);
  }
  r.SetSpeed(200);  // the gap fits now, but the end stays damaged
  EXPECT_EQ(Answers(r), (Goldens{kN60, "d=66367533 t=500000 90 3D 01", "damaged"}));
  EXPECT_EQ(OpenAndRead(r, longWait(1)), (Goldens{kN60, "d=16383 t=500000 90 3D 01", "end"}));
}

// A muted channel's ticks go to the next event delivered; 0xF7 is channel 7.
TEST(ESEQ2MID, LengthPercentSpeedAndMutedChannels) {
  // Notes 384 ticks (500 ms at 120 BPM) apart, on channels 0 and 1 in turn.
  Bytes events = {0xF1, 0};
  for (uint8_t n = 0; n < 4; ++n)
    events.insert(events.end(), {0xF4, 0x00, 0x03, static_cast<uint8_t>(0x90 | (n & 1)), n, 1});
  events.insert(events.end(), {0xF7, 0xF2});
  CESEQ2MID r;
  ASSERT_EQ(r.OpenBuffer(Song(events)), kOpened);
  EXPECT_EQ(r.GetLength(), 2000u);
  EXPECT_EQ(Answers(r, 1), Goldens{"d=384 t=500000 90 00 01"});
  EXPECT_EQ(r.GetPercentDone(), 8u * 100 / 28);
  EXPECT_EQ(Answers(r, 6),
            (Goldens{"d=384 t=500000 91 01 01", "d=384 t=500000 90 02 01",
                     "d=384 t=500000 91 03 01", "d=0 t=500000 F7", kEndOfTrack, "end"}));
  EXPECT_EQ(r.GetPercentDone(), 100u);
  r.MuteChannel(1);
  r.MuteChannel(7);
  ASSERT_EQ(r.Rewind(), kOpened);
  EXPECT_EQ(Answers(r), (Goldens{"d=384 t=500000 90 00 01", "d=768 t=500000 90 02 01",
                                 "d=384 t=500000 meta 2F", "end"}));
  r.SetSpeed(1001);
  EXPECT_EQ(r.GetTicksPerSecond(), 768.0);
}

}  // namespace
}  // namespace tonvelo::test
