// The MIDI reader on what random valid files cannot hold; merge order, running
// status, replays and tempo maps of those are compared with mido elsewhere.

#include "readers/smf2mid.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/readers/event_list.h"
#include "tests/support/midi_builder.h"

namespace tonvelo::test {
namespace {

using enum OpenResult;

const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

// A header with its own track count, then the chunks (a null id: raw bytes).
Bytes Smf(uint16_t format, uint16_t tracks, uint16_t division,
          std::initializer_list<std::pair<const char*, Bytes>> chunks = {{"MTrk", kEnd}}) {
  Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
  for (uint16_t v : {format, tracks, division}) PutBE(b, v, 2);
  for (const auto& [id, body] : chunks) {
    if (id) b.insert(b.end(), id, id + 4);
    if (id) PutBE(b, static_cast<uint32_t>(body.size()), 4);
    b.insert(b.end(), body.begin(), body.end());
  }
  return b;
}

TEST(SMF2MID, EventStreams) {
  // clang-format off
  const std::tuple<const char*, Bytes, Goldens, uint32_t> cases[] = {
      {"status quirks", Smf(0, 1, 96, {{"MTrk", {
           0, 0x3C, 0x40,                   // no status yet: a note-on on channel 1
           0x80, 0x80, 5, 0xF7, 1, 0x01,    // leading 0x80s of a quantity add nothing
           0, 0xF8, 0, 0x33,                // a stray byte goes with a status without data
           0, 0xFF, 0x2F, 0}}}),
       {"d=0 t=500000 90 3C 40", "d=5 t=500000 sysex F7 01", "d=0 t=500000 F8", "d=0 t=500000 F8",
        "d=0 t=500000 meta 2F", "end"}, 100},
      // Track 0 has no End of Track; track 1's last event claims bytes of
      // track 2's chunk; track 2 is cut inside a note. What came before plays.
      {"broken tracks end at their chunk", Smf(1, 3, 480, {
           {"MTrk", {0x00, 0x90, 60, 1, 0x10, 0x90, 61, 1}},
           {"MTrk", {0x05, 0x91, 62, 1, 0x00, 0xFF, 0x01, 0x08, 'a'}},
           {"MTrk", {0x08, 0x92, 63, 1, 0x00, 0x92, 64}}}),
       {"d=0 t=500000 90 3C 01", "d=5 t=500000 91 3E 01", "d=3 t=500000 92 3F 01",
        "d=8 t=500000 90 3D 01", "end"}, 66},  // 16 of 24 track bytes were events
      {"no tracks: an empty song", Smf(0, 0, 480, {}), {"end"}, 0},
  };
  // clang-format on
  for (const auto& [what, file, expected, percent] : cases) {
    CSMF2MID r;
    EXPECT_EQ(OpenAndRead(r, file), expected) << what;
    EXPECT_EQ(r.GetPercentDone(), percent) << what;
  }
}

TEST(SMF2MID, OpenResults) {
  // clang-format off
  const std::tuple<const char*, Bytes, OpenResult> cases[] = {
      {"format 2", Smf(2, 1, 480), kUnsupported},
      {"division 23", Smf(0, 1, 23), kNotThisFormat},
      {"division 32768", Smf(0, 1, 32768), kOpened},
      {"division 32769 (SMPTE)", Smf(0, 1, 32769), kNotThisFormat},
      {"foreign chunk among tracks",
       Smf(1, 2, 480, {{"MTrk", kEnd}, {"XFIH", {1}}, {"MTrk", kEnd}}), kDamaged},
      {"anything after the tracks",
       Smf(1, 1, 480, {{"MTrk", kEnd}, {"XFIH", {1}}, {nullptr, {0x55}}}), kOpened},
      {"chunk longer than the file",  // its length field says 5
       Smf(0, 1, 480, {{nullptr, {'M', 'T', 'r', 'k', 0, 0, 0, 5}}, {nullptr, kEnd}}), kDamaged},
      {"cut chunk header", Smf(1, 2, 480, {{"MTrk", kEnd}, {nullptr, {'M', 'T', 'r'}}}), kDamaged},
      {"bad magic", {'R', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 0, 1, 0xE0}, kNotThisFormat},
      {"short header", {'M', 'T', 'h', 'd', 0, 0}, kReadIncomplete},
  };
  // clang-format on
  CSMF2MID r;
  for (const auto& [what, file, result] : cases) EXPECT_EQ(r.OpenBuffer(file), result) << what;
  EXPECT_EQ(r.Open("/nonexistent/song.mid"), kCannotOpen);
  r.Close();
  r.Close();
  EXPECT_EQ(Answers(r, 1), Goldens{"end"});
  EXPECT_EQ(r.Rewind(), kCannotOpen);
}

TEST(SMF2MID, TempoFormulasAndTempoField) {
  MidiBuilder m(0, 480);
  m.AddTrack()
      .Tempo(0, 600000)
      .Tempo(0, 533333)             // 112.5000703 BPM: not whole
      .Meta(0, 0x51, {0x09, 0x27})  // too short: changes nothing
      .Tempo(0, 0)                  // taken as 1
      .End();
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), kOpened);
  // Each event carries the tempo before it; then the tempo, BPM, ticks per
  // second and largest gap in ticks (a day at 1 µs per beat is beyond u32).
  const std::tuple<const char*, uint32_t, uint32_t, double, uint32_t> steps[] = {
      {"d=0 t=500000 meta 51 09 27 C0", 600000, 100, 800.0, 800u * 86400},
      {"d=0 t=600000 meta 51 08 23 55", 533333, 0, 480.0 * 100 * 10000 / 533333, 900u * 86400},
      {"d=0 t=533333 meta 51 09 27", 533333, 0, 480.0 * 100 * 10000 / 533333, 900u * 86400},
      {"d=0 t=533333 meta 51 00 00 00", 1, 60000000, 480.0 * 100 * 60000000 / 6000, UINT32_MAX},
  };
  for (const auto& [event, tempo, bpm, ticksPerSecond, maxGap] : steps) {
    EXPECT_EQ(Answers(r, 1), Goldens{event});
    EXPECT_EQ(std::make_tuple(r.GetTempo(), r.GetBPM(), r.GetTicksPerSecond(), r.GetMaxGapTicks()),
              std::make_tuple(tempo, bpm, ticksPerSecond, maxGap))
        << event;
  }
  EXPECT_EQ(Answers(r), (Goldens{"d=0 t=1 meta 2F", "end"}));
  ASSERT_EQ(r.Rewind(), kOpened);
  EXPECT_EQ(r.GetTempo(), 500000u);
  EXPECT_EQ(r.GetTicksPerSecond(), 960.0);  // 480 × 100 × 120 / 6000
}

// A muted channel's deltas go to the next event delivered; 0xF8 is channel 8.
TEST(SMF2MID, MutedChannelsCarryTheirTicks) {
  MidiBuilder m(1, 480);
  m.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(20, 0, 61, 1).NoteOn(7, 2, 70, 1).End(0);
  m.AddTrack().NoteOn(5, 1, 62, 1).NoteOn(5, 1, 63, 1).NoteOn(40, 1, 64, 1).End();
  CSMF2MID r;
  r.MuteChannel(1);
  r.MuteChannel(16);  // ignored
  EXPECT_EQ(OpenAndRead(r, m.Build()),
            (Goldens{"d=0 t=500000 90 3C 01", "d=20 t=500000 90 3D 01", "d=7 t=500000 92 46 01",
                     "d=0 t=500000 meta 2F", "d=23 t=500000 meta 2F", "end"}));
  r.UnmuteChannel(1);
  r.MuteChannel(8);
  EXPECT_EQ(OpenAndRead(r, Smf(0, 1, 480, {{"MTrk", {3, 0xF8, 4, 0x91, 60, 1, 0, 0xFF, 0x2F, 0}}})),
            (Goldens{"d=7 t=500000 91 3C 01", "d=0 t=500000 meta 2F", "end"}));
}

TEST(SMF2MID, SpeedBoundsAndDamageFromADayLongGap) {
  MidiBuilder m(0, 480);
  m.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(960u * 86400, 0, 61, 1).End(0x0FFFFFFF);
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), kOpened);  // End of Track may be late
  r.SetSpeed(0), r.SetSpeed(1001);              // both refused
  EXPECT_EQ(r.GetTicksPerSecond(), 960.0);
  r.SetSpeed(1000);
  EXPECT_EQ(r.GetMaxGapTicks(), 9600u * 86400);
  r.SetSpeed(1);
  EXPECT_EQ(r.GetTicksPerSecond(), 9.6);
  EXPECT_EQ(r.GetMaxGapTicks(), 10u * 86400);
  r.SetSpeed(100);
  const std::string first = "d=0 t=500000 90 3C 01";
  EXPECT_EQ(Answers(r, 5), (Goldens{first, "d=82944000 t=500000 90 3D 01",
                                    "d=268435455 t=500000 meta 2F", "end", "end"}));
  // Half speed halves the gap: the same delta is now damage, for good, and
  // Rewind closes the reader.
  r.SetSpeed(50);
  ASSERT_EQ(r.Rewind(), kOpened);
  EXPECT_EQ(Answers(r, 3), (Goldens{first, "damaged", "damaged"}));
  EXPECT_EQ(r.Rewind(), kDamaged);
  EXPECT_EQ(Answers(r, 1), Goldens{"damaged"});
  MidiBuilder over(0, 480);
  over.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(960u * 86400 + 1, 0, 61, 1).End();
  r.SetSpeed(100);
  EXPECT_EQ(r.OpenBuffer(over.Build()), kDamaged);
  EXPECT_EQ(OpenAndRead(r, Smf(0, 1, 480)), (Goldens{"d=0 t=500000 meta 2F", "end"}))
      << "a new Open clears the damage";
}

// At 1 µs per beat any delta is allowed, and two tracks a tick apart run past
// 2^48 ticks: the merged clock has no limit of its own.
TEST(SMF2MID, MergedClockPasses2To48Ticks) {
  constexpr uint32_t kSteps = 65600;
  MidiBuilder m(1, 480);
  auto& t0 = m.AddTrack().Tempo(0, 1);
  for (uint32_t i = 0; i < kSteps; ++i) t0.NoteOn(0xFFFFFFFF, 0, 60, 1);
  auto& t1 = m.AddTrack().NoteOn(0xFFFFFFFE, 1, 61, 1);
  for (uint32_t i = 1; i < kSteps; ++i) t1.NoteOn(0xFFFFFFFF, 1, 61, 1);
  Goldens expected = {"d=0 t=500000 meta 51 00 00 01"};
  for (uint32_t i = 0; i < kSteps; ++i) {
    expected.insert(expected.end(), {"d=4294967294 t=1 91 3D 01", "d=1 t=1 90 3C 01"});
  }
  expected.push_back("end");  // neither track has an End of Track
  CSMF2MID r;
  EXPECT_EQ(OpenAndRead(r, m.Build()), expected);
}

TEST(SMF2MID, TitleLengthPercentAndSkipTo) {
  // 480 ticks at 120 BPM (500 ms), 480 more counted at the tempo they lead
  // to, 60 BPM (1000 ms), and 240 at 60 BPM (500 ms).
  MidiBuilder m(1, 480);
  m.AddTrack().Tempo(0, 500000).NoteOn(480, 0, 60, 1).Tempo(480, 1000000).NoteOff(240, 0, 60).End();
  m.AddTrack().TrackName(0, "First").TrackName(0, "Second").TrackName(10, "Late").End();
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), kOpened);
  EXPECT_STREQ(r.GetTitle(), "First");
  EXPECT_EQ(r.GetLength(), 2000u);
  EXPECT_STREQ(r.GetDescription(), "Standard MIDI file");
  for (uint32_t percent : {11u, 26u, 43u}) {  // of 60 bytes: a tempo of 7, names of 9 and 10
    ASSERT_EQ(Answers(r, 1).size(), 1u);
    EXPECT_EQ(r.GetPercentDone(), percent);
  }
  r.SkipTo(1000);  // the tempo change at 1500 ms is consumed
  EXPECT_EQ(Answers(r, 1), Goldens{"d=240 t=1000000 80 3C 40"});
  EXPECT_EQ(r.GetPercentDone(), 93u);
  r.SkipTo(0);
  EXPECT_EQ(r.GetPercentDone(), 0u);
  EXPECT_EQ(Answers(r, 1), Goldens{"d=0 t=500000 meta 51 07 A1 20"});
  ASSERT_EQ(r.OpenBuffer(Smf(0, 1, 480)), kOpened);
  EXPECT_STREQ(r.GetTitle(), "");  // not the last file's
}

}  // namespace
}  // namespace tonvelo::test
