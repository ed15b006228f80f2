#include "readers/eseq2mid.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/readers/event_list.h"
#include "tests/support/eseq_builder.h"

namespace tonvelo {
namespace {

using test::Bytes;
using test::EseqBuilder;
using test::Ev;
using test::MetaEv;
using test::Note;
using test::ReadAll;

constexpr uint8_t kTempoMeta = 0x51;
constexpr uint8_t kEndMeta = 0x2F;

std::vector<Ev> ReadBytes(CESEQ2MID& r, const Bytes& file, ReadResult* last = nullptr) {
  EXPECT_EQ(r.OpenBuffer(file), OpenResult::kOpened);
  return ReadAll(r, last);
}

TEST(ESEQ2MID, OpenResults) {
  CESEQ2MID r;
  const Bytes good = EseqBuilder().Events({0xF1, 0x00, 0x90, 60, 1, 0xF2}).Build();
  EXPECT_EQ(r.OpenBuffer(good), OpenResult::kOpened);
  EXPECT_EQ(r.OpenBuffer(Bytes(good.begin(), good.begin() + 38)), OpenResult::kReadIncomplete);
  Bytes foreign = good;
  foreign[14] = 'X';
  EXPECT_EQ(r.OpenBuffer(foreign), OpenResult::kNotThisFormat);
  // A first block that leaves no event data is damage.
  EXPECT_EQ(r.OpenBuffer(EseqBuilder().Block(Bytes(10, 0)).Build()), OpenResult::kDamaged);
  EXPECT_EQ(r.OpenBuffer(EseqBuilder().Block(Bytes(10, 0)).Events({0xF1}).Build()),
            OpenResult::kOpened);

  const auto dir = std::filesystem::temp_directory_path() / "tonvelo_eseq_open";
  std::filesystem::create_directories(dir);
  test::WriteBytes(dir / "song.fil", good);
  test::WriteBytes(dir / "short.fil", Bytes(good.begin(), good.begin() + 20));
  EXPECT_EQ(r.Open(dir / "song.fil"), OpenResult::kOpened);
  EXPECT_EQ(r.Open(dir / "short.fil"), OpenResult::kReadIncomplete);
  EXPECT_EQ(r.Open(dir / "missing.fil"), OpenResult::kCannotOpen);
  std::filesystem::remove_all(dir);
  EXPECT_STREQ(r.GetDescription(), "Yamaha ESEQ file");
  r.Close();
  r.Close();
  MusicEvent ev;
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  EXPECT_EQ(r.GetPercentDone(), 0u);
}

TEST(ESEQ2MID, TempoCodes) {
  const Bytes notes = {0xF1, 0x00, 0x90, 60, 1};
  const std::pair<Bytes, uint32_t> cases[] = {
      {EseqBuilder().TempoCode(0).Events(notes).Build(), 120},
      {EseqBuilder().TempoCode(91).Events(notes).Build(), 120},
      {EseqBuilder().TempoCode(255).Events(notes).Build(), 284},
      // The 80-byte block's code wins over the header's; code 0 there too is 120.
      {EseqBuilder().TempoCode(91).TitleBlock(71, "", "").Events(notes).Build(), 100},
      {EseqBuilder().TempoCode(1).TitleBlock(0, "", "").Events(notes).Build(), 120},
      {EseqBuilder().TempoCode(91).Block(Bytes(40, 71)).Events(notes).Build(), 120},
  };
  for (const auto& [file, bpm] : cases) {
    CESEQ2MID r;
    const auto events = ReadBytes(r, file);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(r.GetInitialBPM(), bpm);
    EXPECT_EQ(events[0].tempo, (120000000u + bpm) / (2 * bpm)) << bpm;
    EXPECT_EQ(r.GetTicksPerSecond(), bpm * 100 * 384 / 6000.0);
  }
}

TEST(ESEQ2MID, TempoChangesScaleTheInitialTempo) {
  // clang-format off
  const Bytes file = EseqBuilder().Events({0xF1, 0x00,
      0xFB, 0x68, 0x07,  // 1000: unchanged
      0xFB, 0x74, 0x03,  // 500: half
      0xFB, 0x01, 0x00,  // 1 × 120 / 1000 = 0 BPM: ignored
      0xFB, 0x61, 0x03,  // 481 × 120 / 1000 = 57.72: 57, from the initial tempo again
      0xF2}).Build();
  // clang-format on
  CESEQ2MID r;
  ReadResult last;
  const std::vector<Ev> expected = {
      MetaEv(0, kTempoMeta), MetaEv(0, kTempoMeta), MetaEv(0, kTempoMeta, {}, 1000000),
      MetaEv(0, kTempoMeta, {}, 1000000), MetaEv(0, kEndMeta, {}, 1052632)};
  EXPECT_EQ(ReadBytes(r, file, &last), expected);
  EXPECT_EQ(r.GetBPM(), 57u);
  EXPECT_EQ(r.GetTicksPerSecond(), 57 * 100 * 384 / 6000.0);
  EXPECT_EQ(r.GetMaxGapTicks(), 365u * 86400);  // 364.8 rounded
  ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  EXPECT_EQ(r.GetBPM(), 120u);
}

TEST(ESEQ2MID, PartsEndTheSong) {
  const Ev n60 = Note(0, 0x90, 60, 1);
  const Ev n61 = Note(0, 0x90, 61, 1);
  const Ev end = MetaEv(0, kEndMeta);
  struct Case {
    uint8_t parts;
    Bytes events;
    std::vector<Ev> expected;
  };
  const Case cases[] = {
      // P = 1: the first part end is End of Track; the next part start ends the song.
      {1, {0xF1, 0, 0x90, 60, 1, 0xF2, 0x90, 63, 1, 0xF1, 0, 0x90, 61, 1}, {n60, end}},
      // P = 0: only the first part plays, and it has no End of Track.
      {0, {0xF1, 0, 0x90, 60, 1, 0xF2, 0xF1, 0, 0x90, 61, 1}, {n60}},
      {0, {0xF1, 0, 0x90, 60, 1, 0xF1, 0, 0x90, 61, 1}, {n60, n61}},
      {2,
       {0xF1, 0, 0x90, 60, 1, 0xF2, 0xF1, 0, 0x90, 61, 1, 0xF2, 0xF1, 0, 0x90, 62, 1},
       {n60, n61, end}},
      // Outside a part everything but a part start is skipped, even bad bytes.
      {1, {0x00, 0x90, 0xF3, 0x80, 0xF0, 0xF1, 0, 0x90, 60, 1}, {n60}},
  };
  for (const Case& c : cases) {
    CESEQ2MID r;
    ReadResult last;
    EXPECT_EQ(ReadBytes(r, EseqBuilder().PartCount(c.parts).Events(c.events).Build(), &last),
              c.expected)
        << "P = " << int{c.parts};
    EXPECT_EQ(last, ReadResult::kEnd);
  }
}

TEST(ESEQ2MID, MalformedBytesFailOnlyTheirEvent) {
  constexpr auto E = ReadResult::kEvent;
  constexpr auto D = ReadResult::kDamaged;
  constexpr auto X = ReadResult::kEnd;
  const std::pair<Bytes, std::vector<ReadResult>> cases[] = {
      {{0xF1, 0, 0xF3, 0x80, 0x90, 60, 1}, {D, E, X}},        // wait operand above 127
      {{0xF1, 0, 0xF4, 0x00, 0x80, 0x90, 60, 1}, {D, E, X}},  // second operand too
      {{0xF1, 0, 0xFB, 0x00, 0x90, 0x90, 60, 1}, {D, E, X}},  // tempo operands go together
      {{0xF1, 0, 0x3C, 0x90, 60, 1}, {D, E, X}},              // data byte as a status
      {{0xF1, 0, 0x90, 60, 1, 0xF4, 0x01}, {E, D, X}},        // operand beyond the end
      {{0xF1, 0, 0xF0, 0x43, 0x10}, {D, X}},                  // unterminated system exclusive
      {{0xF1, 0, 0xFE, 0x10, 60}, {D, X}},                    // cut escaped message
      {{0xF1}, {D, X}},                                       // part start without operand
  };
  for (const auto& [events, results] : cases) {
    CESEQ2MID r;
    ASSERT_EQ(r.OpenBuffer(EseqBuilder().Events(events).Build()), OpenResult::kOpened);
    MusicEvent ev;
    std::vector<ReadResult> got;
    for (size_t i = 0; i < results.size(); ++i) got.push_back(r.ReadEvent(ev));
    EXPECT_EQ(got, results) << "case with " << events.size() << " bytes";
  }
  // The opening scan stops at the first bad event.
  CESEQ2MID r;
  ASSERT_EQ(r.OpenBuffer(EseqBuilder()
                             .Events({0xF1, 0, 0xF3, 0x60, 0x90, 60, 1, 0xF3, 0x80, 0xF4, 0x00,
                                      0x7F, 0x90, 61, 1})
                             .Build()),
            OpenResult::kOpened);
  EXPECT_EQ(r.GetLength(), 125u);  // 96 ticks at 768 per second
}

TEST(ESEQ2MID, TitleHalvesAreJoined) {
  auto title = [](const std::string& a, const std::string& b) {
    uint8_t raw[32];
    for (size_t i = 0; i < 16; ++i) {
      raw[i] = i < a.size() ? static_cast<uint8_t>(a[i]) : ' ';
      raw[16 + i] = i < b.size() ? static_cast<uint8_t>(b[i]) : ' ';
    }
    return CESEQ2MID::CleanTitle(raw);
  };
  EXPECT_EQ(title("ABCDEFGHIJKLMNOP", "QRST"), "ABCDEFGHIJKLMNOP QRST");
  EXPECT_EQ(title("  TWO   SPACES", " X"), "TWO SPACES X");  // leading spaces go too
  EXPECT_EQ(title(std::string("NUL\0AFTER", 9), "MORE"), "NUL");
  CESEQ2MID r;
  ASSERT_EQ(
      r.OpenBuffer(EseqBuilder().TitleBlock(0, "MY SONG", "PART TWO").Events({0xF1, 0}).Build()),
      OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "MY SONG PART TWO");
  ASSERT_EQ(r.OpenBuffer(EseqBuilder().Block(Bytes(81, 'A')).Events({0xF1, 0}).Build()),
            OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "");
}

TEST(ESEQ2MID, MessageKindsAndWaits) {
  CESEQ2MID r;
  // clang-format off
  const auto events = ReadBytes(r, EseqBuilder().Events({0xF1, 0x00,
      0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7,
      0xF7,                    // a lone 0xF7 is a status without data
      0xFE, 0x10, 0x3C, 0x40,  // escaped status 0x90
      0xFE, 0x78,              // escaped 0xF8: no data bytes
      0xC3, 0x05, 0xD4, 0x20, 0xE5, 0x00, 0x40,
      0xF5, 0xF6, 0xF8, 0xFA, 0xFC, 0xFD, 0xFF, 0x12,  // no events
      0xF3, 0x0A, 0xF4, 0x00, 0x01, 0xA0, 60, 1,
      0xF4, 0x7F, 0x7F, 0xF2, 0xF3, 0x20}).Build());  // waits at the very end go nowhere
  // clang-format on
  const std::vector<Ev> expected = {
      {kEventSysEx, 0, 500000, 0xF0, {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}},
      {kEventChannel, 0, 500000, 0xF7, {}},
      Note(0, 0x90, 0x3C, 0x40),
      {kEventChannel, 0, 500000, 0xF8, {}},
      {kEventChannel, 0, 500000, 0xC3, {0x05}},
      {kEventChannel, 0, 500000, 0xD4, {0x20}},
      Note(0, 0xE5, 0x00, 0x40),
      Note(138, 0xA0, 60, 1),
      MetaEv(16383, kEndMeta),
  };
  EXPECT_EQ(events, expected);
}

TEST(ESEQ2MID, BeatExponentSetsTheDivision) {
  auto divisionAfterOpen = [](uint8_t exponent) {
    CESEQ2MID r;
    EXPECT_EQ(
        r.OpenBuffer(EseqBuilder().Events({0xF1, 0, 0xF9, 0x04, exponent, 0x90, 60, 1}).Build()),
        OpenResult::kOpened);
    return r.GetDivision();
  };
  // The scan leaves the last exponent of the file in force; five bits count.
  EXPECT_EQ(divisionAfterOpen(0), 1536u);
  EXPECT_EQ(divisionAfterOpen(11), 1u);  // would be 0
  EXPECT_EQ(divisionAfterOpen(32 + 3), 192u);

  // Within a pass a new exponent takes effect at the next tempo change.
  CESEQ2MID r;
  ASSERT_EQ(r.OpenBuffer(EseqBuilder()
                             .Events({0xF1, 0, 0xF9, 0x04, 0x03, 0x90, 60, 1, 0xFB, 0x68, 0x07,
                                      0x90, 61, 1, 0xF9, 0x04, 0x02})
                             .Build()),
            OpenResult::kOpened);
  EXPECT_EQ(r.GetDivision(), 384u);
  MusicEvent ev;
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(r.GetDivision(), 384u);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);  // tempo change
  EXPECT_EQ(r.GetDivision(), 192u);
  EXPECT_EQ(r.GetTicksPerSecond(), 384.0);
}

TEST(ESEQ2MID, MutedChannelsCarryTheirTicks) {
  CESEQ2MID r;
  ASSERT_EQ(
      r.OpenBuffer(EseqBuilder()
                       .Events({0xF1, 0,    0xF3, 5, 0x91, 60, 1,    0xF3, 10, 0x90, 61, 1, 0xF3,
                                3,    0x91, 62,   1, 0xF3, 4,  0xF7, 0xF3, 2,  0x90, 63, 1})
                       .Build()),
      OpenResult::kOpened);
  r.MuteChannel(1);
  r.MuteChannel(7);  // 0xF7 is a channel message on channel 7
  ReadResult last;
  EXPECT_EQ(ReadAll(r, &last), (std::vector<Ev>{Note(15, 0x90, 61, 1), Note(9, 0x90, 63, 1)}));
  EXPECT_EQ(last, ReadResult::kEnd);
  r.UnmuteChannel(1);
  r.UnmuteChannel(7);
  ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  EXPECT_EQ(ReadAll(r).size(), 5u);
}

TEST(ESEQ2MID, GapOverADayIsDamageUntilTheNextOpen) {
  // 768 ticks per second: a day is 66 355 200 ticks, 4050.2 full waits.
  auto longWait = [](uint32_t waits) {
    Bytes b = {0xF1, 0, 0x90, 60, 1};
    for (uint32_t i = 0; i < waits; ++i) b.insert(b.end(), {0xF4, 0x7F, 0x7F});
    b.insert(b.end(), {0x90, 61, 1});
    return EseqBuilder().Events(b).Build();
  };
  CESEQ2MID r;
  const auto events = ReadBytes(r, longWait(4050));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].delta, 4050u * 16383u);

  ASSERT_EQ(r.OpenBuffer(longWait(4051)), OpenResult::kOpened);
  EXPECT_EQ(r.GetLength(), 0u);  // the scan stopped at the gap
  // Each pass delivers the events before the gap; from the gap on, and at
  // the end of any later pass, the answer is damage.
  for (int pass = 0; pass < 2; ++pass) {
    MusicEvent ev;
    ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent) << pass;
    EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged) << pass;
    EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged) << pass;
    ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  }
  r.SetSpeed(200);
  ReadResult last;
  EXPECT_EQ(ReadAll(r, &last).size(), 2u);  // the gap fits now, but the end stays damaged
  EXPECT_EQ(last, ReadResult::kDamaged);
  ASSERT_EQ(r.OpenBuffer(longWait(1)), OpenResult::kOpened);
  EXPECT_EQ(ReadAll(r, &last).size(), 2u);
  EXPECT_EQ(last, ReadResult::kEnd);
}

TEST(ESEQ2MID, LengthPercentSkipAndSpeed) {
  // Notes 384 ticks (500 ms at 120 BPM) apart.
  Bytes events = {0xF1, 0};
  for (uint8_t n = 0; n < 4; ++n) events.insert(events.end(), {0xF4, 0x00, 0x03, 0x90, n, 1});
  events.push_back(0xF2);
  CESEQ2MID r;
  ASSERT_EQ(r.OpenBuffer(EseqBuilder().Events(events).Build()), OpenResult::kOpened);
  EXPECT_EQ(r.GetLength(), 2000u);
  MusicEvent ev;
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(r.GetPercentDone(), 8u * 100 / 27);
  EXPECT_EQ(ReadAll(r).size(), 4u);
  EXPECT_EQ(r.GetPercentDone(), 100u);
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  r.SkipTo(1000);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.data[0], 2);
  r.SetSpeed(1001);
  EXPECT_EQ(r.GetTicksPerSecond(), 768.0);
}

}  // namespace
}  // namespace tonvelo
