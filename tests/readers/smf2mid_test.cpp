#include "readers/smf2mid.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "tests/readers/event_list.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

using test::Bytes;
using test::Ev;
using test::MetaEv;
using test::MidiBuilder;
using test::Note;
using test::ReadAll;

OpenResult OpenBytes(CSMF2MID& r, const Bytes& b) { return r.OpenBuffer(b); }

TEST(SMF2MID, MergesTracksInTimeOrderTiesToLowerTrack) {
  MidiBuilder m(1, 480);
  m.AddTrack().NoteOn(0, 0, 60, 100).NoteOn(10, 0, 62, 100).NoteOff(20, 0, 60).End();
  m.AddTrack().NoteOn(5, 1, 64, 90).NoteOn(5, 1, 65, 90).NoteOff(25, 1, 64).End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  EXPECT_EQ(r.GetDivision(), 480u);
  ReadResult last;
  const std::vector<Ev> expected = {
      Note(0, 0x90, 60, 100), Note(5, 0x91, 64, 90), Note(5, 0x90, 62, 100), Note(0, 0x91, 65, 90),
      Note(20, 0x80, 60, 64), MetaEv(0, 0x2F),       Note(5, 0x81, 64, 64),  MetaEv(0, 0x2F),
  };
  EXPECT_EQ(ReadAll(r, &last), expected);
  EXPECT_EQ(last, ReadResult::kEnd);
}

TEST(SMF2MID, ManyTracksMergeLikeAStableSortByTime) {
  // Against a plain stable sort of (absolute tick, track, position), for
  // track counts around the powers of two the merge is organised by.
  for (uint16_t tracks : {1, 2, 3, 4, 5, 8, 9, 16, 17, 33}) {
    MidiBuilder m(1, 96);
    struct Ref {
      uint64_t tick;
      uint16_t track;
      uint8_t note;
    };
    std::vector<Ref> ref;
    uint32_t seed = 99u + tracks;
    for (uint16_t t = 0; t < tracks; ++t) {
      auto& tb = m.AddTrack();
      uint64_t tick = 0;
      const int count = static_cast<int>((seed >> 8) % 12);  // some tracks stay empty
      for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        const uint32_t delta = (seed >> 16) % 4 == 0 ? 0 : (seed >> 16) % 7;
        tick += delta;
        const auto note = static_cast<uint8_t>((t * 13 + i) & 0x7F);
        tb.NoteOn(delta, static_cast<uint8_t>(t & 15), note, 1);
        ref.push_back({tick, t, note});
      }
      seed = seed * 1103515245u + 12345u;
      tb.End(0);
      ref.push_back({tick, t, 0xFF});
    }
    std::stable_sort(ref.begin(), ref.end(), [](const Ref& a, const Ref& b) {
      return a.tick != b.tick ? a.tick < b.tick : a.track < b.track;
    });
    CSMF2MID r;
    ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);
    const auto events = ReadAll(r);
    ASSERT_EQ(events.size(), ref.size()) << tracks;
    uint64_t tick = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
      tick += events[i].delta;
      EXPECT_EQ(tick, ref[i].tick) << tracks << " tracks, event " << i;
      if (ref[i].note == 0xFF) {
        EXPECT_EQ(events[i].status, 0x2F) << tracks << " tracks, event " << i;
      } else {
        EXPECT_EQ(events[i].status, 0x90 | (ref[i].track & 15)) << tracks << " tracks, event " << i;
        EXPECT_EQ(events[i].data[0], ref[i].note) << tracks << " tracks, event " << i;
      }
    }
  }
}

TEST(SMF2MID, RunningStatusAndStatusKinds) {
  MidiBuilder m(0, 96);
  m.AddTrack()
      .Raw(0, {0x3C, 0x40})  // no status yet: a note-on on channel 1
      .Raw(10, {0xB1, 0x40, 0x7F})
      .Raw(0, {0x40, 0x00})  // running control change
      .Meta(0, 0x01, {'x'})  // meta events keep the running status
      .Raw(5, {0x41, 0x7F})
      .Raw(0, {0xC2, 0x05})
      .Raw(0, {0x06})  // one data byte under a program change
      .SysEx(1, 0xF0, {0x43, 0x10, 0xF7})
      .SysEx(0, 0xF7, {0x01})
      .Raw(0, {0xF8})  // a status without data bytes
      .Raw(0, {0x33})  // a stray byte under it goes with the status
      .Raw(2, {0x90, 0x30, 0x00})
      .End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  const std::vector<Ev> expected = {
      Note(0, 0x90, 0x3C, 0x40),
      Note(10, 0xB1, 0x40, 0x7F),
      Note(0, 0xB1, 0x40, 0x00),
      MetaEv(0, 0x01, {'x'}),
      Note(5, 0xB1, 0x41, 0x7F),
      {kEventChannel, 0, 500000, 0xC2, {0x05}},
      {kEventChannel, 0, 500000, 0xC2, {0x06}},
      {kEventSysEx, 1, 500000, 0xF0, {0x43, 0x10, 0xF7}},
      {kEventSysEx, 0, 500000, 0xF7, {0x01}},
      {kEventChannel, 0, 500000, 0xF8, {}},
      {kEventChannel, 0, 500000, 0xF8, {}},
      Note(2, 0x90, 0x30, 0x00),
      MetaEv(0, 0x2F),
  };
  EXPECT_EQ(ReadAll(r), expected);
}

Bytes Header(uint16_t format, uint16_t tracks, uint16_t division) {
  Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
  test::PutBE(b, format, 2);
  test::PutBE(b, tracks, 2);
  test::PutBE(b, division, 2);
  return b;
}

void AppendChunk(Bytes& b, const char* id, const Bytes& body) {
  b.insert(b.end(), id, id + 4);
  test::PutBE(b, static_cast<uint32_t>(body.size()), 4);
  b.insert(b.end(), body.begin(), body.end());
}

const Bytes kEndOnly = {0x00, 0xFF, 0x2F, 0x00};

TEST(SMF2MID, OpenResults) {
  CSMF2MID r;
  Bytes f2 = Header(2, 1, 480);
  AppendChunk(f2, "MTrk", kEndOnly);
  EXPECT_EQ(OpenBytes(r, f2), OpenResult::kUnsupported);

  Bytes smpte = Header(1, 1, 0x8019);
  AppendChunk(smpte, "MTrk", kEndOnly);
  EXPECT_EQ(OpenBytes(r, smpte), OpenResult::kNotThisFormat);

  for (uint16_t div : {uint16_t{23}, uint16_t{32769}}) {
    Bytes b = Header(0, 1, div);
    AppendChunk(b, "MTrk", kEndOnly);
    EXPECT_EQ(OpenBytes(r, b), OpenResult::kNotThisFormat) << div;
  }
  for (uint16_t div : {uint16_t{24}, uint16_t{32768}}) {
    Bytes b = Header(0, 1, div);
    AppendChunk(b, "MTrk", kEndOnly);
    EXPECT_EQ(OpenBytes(r, b), OpenResult::kOpened) << div;
    EXPECT_EQ(r.GetDivision(), div);
  }

  Bytes foreign = Header(1, 2, 480);
  AppendChunk(foreign, "MTrk", kEndOnly);
  AppendChunk(foreign, "XFIH", {1, 2, 3});
  AppendChunk(foreign, "MTrk", kEndOnly);
  EXPECT_EQ(OpenBytes(r, foreign), OpenResult::kDamaged);

  // After the counted tracks anything may follow.
  Bytes trailing = Header(1, 1, 480);
  AppendChunk(trailing, "MTrk", kEndOnly);
  AppendChunk(trailing, "XFIH", {1, 2, 3});
  trailing.push_back(0x55);
  EXPECT_EQ(OpenBytes(r, trailing), OpenResult::kOpened);

  Bytes tooLong = Header(0, 1, 480);
  AppendChunk(tooLong, "MTrk", kEndOnly);
  tooLong[21] = 5;  // chunk claims one byte more than the file holds
  EXPECT_EQ(OpenBytes(r, tooLong), OpenResult::kDamaged);

  Bytes missingChunk = Header(1, 2, 480);
  AppendChunk(missingChunk, "MTrk", kEndOnly);
  missingChunk.insert(missingChunk.end(), {'M', 'T', 'r'});
  EXPECT_EQ(OpenBytes(r, missingChunk), OpenResult::kDamaged);

  Bytes riff = Header(0, 1, 480);
  riff[0] = 'R';
  EXPECT_EQ(OpenBytes(r, riff), OpenResult::kNotThisFormat);
  EXPECT_EQ(OpenBytes(r, Bytes{'M', 'T', 'h', 'd', 0, 0}), OpenResult::kReadIncomplete);

  // No tracks at all is a valid, empty song.
  ASSERT_EQ(OpenBytes(r, Header(0, 0, 480)), OpenResult::kOpened);
  MusicEvent ev;
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  EXPECT_EQ(r.GetPercentDone(), 0u);
  EXPECT_EQ(r.GetLength(), 0u);
}

TEST(SMF2MID, OpenFromFile) {
  const auto dir = std::filesystem::temp_directory_path() / "tonvelo_smf_open";
  std::filesystem::create_directories(dir);
  MidiBuilder m(0, 480);
  m.AddTrack().TrackName(0, "Song").NoteOn(0, 0, 60, 1).End();
  m.Write(dir / "song.mid");
  test::WriteBytes(dir / "short.mid", {'M', 'T', 'h', 'd', 0});
  test::WriteBytes(dir / "other.bin", Bytes(40, 0x20));

  CSMF2MID r;
  EXPECT_EQ(r.Open(dir / "song.mid"), OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "Song");
  EXPECT_EQ(ReadAll(r).size(), 3u);
  EXPECT_EQ(r.Open(dir / "missing.mid"), OpenResult::kCannotOpen);
  EXPECT_EQ(r.Open(dir), OpenResult::kCannotOpen);
  EXPECT_EQ(r.Open(dir / "short.mid"), OpenResult::kReadIncomplete);
  EXPECT_EQ(r.Open(dir / "other.bin"), OpenResult::kNotThisFormat);
  std::filesystem::remove_all(dir);
}

TEST(SMF2MID, TempoFormulasAndTempoField) {
  MidiBuilder m(0, 480);
  m.AddTrack()
      .NoteOn(0, 0, 60, 1)
      .Tempo(0, 600000)
      .NoteOn(0, 0, 61, 1)
      .Tempo(0, 533333)
      .NoteOn(0, 0, 62, 1)
      .Tempo(0, 500000)
      .NoteOn(0, 0, 63, 1)
      .End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  MusicEvent ev;
  // At rewind: 120 BPM, 480 × 100 × 120 / 6000.
  EXPECT_EQ(r.GetBPM(), 120u);
  EXPECT_EQ(r.GetTicksPerSecond(), 960.0);
  EXPECT_EQ(r.GetMaxGapTicks(), 960u * 86400u);

  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);  // Set Tempo 600000
  EXPECT_EQ(ev.tempo, 500000u);                    // the tempo before it
  EXPECT_EQ(r.GetBPM(), 100u);
  EXPECT_EQ(r.GetTicksPerSecond(), 800.0);
  EXPECT_EQ(r.GetMaxGapTicks(), 800u * 86400u);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.tempo, 600000u);

  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);  // 533333: 112.5000703 BPM
  EXPECT_EQ(ev.tempo, 600000u);
  EXPECT_EQ(r.GetBPM(), 0u);
  EXPECT_EQ(r.GetTempo(), 533333u);
  EXPECT_EQ(r.GetTicksPerSecond(), 480.0 * 100 * 10000 / 533333);
  EXPECT_EQ(r.GetMaxGapTicks(), 900u * 86400u);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.tempo, 533333u);

  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);  // back to 500000
  EXPECT_EQ(ev.tempo, 533333u);
  EXPECT_EQ(r.GetBPM(), 120u);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.tempo, 500000u);

  // Rewind restores the default tempo.
  ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  EXPECT_EQ(r.GetTempo(), 500000u);
  EXPECT_EQ(r.GetTicksPerSecond(), 960.0);
}

TEST(SMF2MID, OddSetTempoBodies) {
  MidiBuilder m(0, 480);
  m.AddTrack()
      .Meta(0, 0x51, {0x09, 0x27})  // too short: no change
      .NoteOn(0, 0, 60, 1)
      .Meta(0, 0x51, {0x09, 0x27, 0xC0, 0x55})  // extra bytes ignored: 600000
      .NoteOn(0, 0, 61, 1)
      .Tempo(0, 0)  // 0 is taken as 1
      .NoteOn(0, 0, 62, 1)
      .End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  const auto events = ReadAll(r);
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[0].data.size(), 2u);
  EXPECT_EQ(events[1].tempo, 500000u);
  EXPECT_EQ(events[3].tempo, 600000u);
  EXPECT_EQ(events[5].tempo, 1u);
  EXPECT_EQ(r.GetBPM(), 60000000u);
  EXPECT_EQ(r.GetTicksPerSecond(), 480.0 * 100 * 60000000 / 6000);
  EXPECT_EQ(r.GetMaxGapTicks(), UINT32_MAX);  // a day at this rate is beyond any delta

  // The largest products (division 32768, speed 1000, 1 µs) are still exact.
  MidiBuilder big(0, 32768);
  big.AddTrack().Tempo(0, 1).End();
  ASSERT_EQ(r.OpenBuffer(big.Build()), OpenResult::kOpened);
  r.SetSpeed(1000);
  ASSERT_EQ(ReadAll(r).size(), 2u);
  EXPECT_EQ(r.GetTicksPerSecond(), 327680000000.0);
}

TEST(SMF2MID, MutedChannelsCarryTheirTicks) {
  MidiBuilder m(1, 480);
  m.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(20, 0, 61, 1).NoteOn(7, 2, 70, 1).End(0);
  m.AddTrack().NoteOn(5, 1, 62, 1).NoteOn(5, 1, 63, 1).NoteOn(40, 1, 64, 1).End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  r.MuteChannel(1);
  r.MuteChannel(16);  // ignored
  const std::vector<Ev> expected = {
      Note(0, 0x90, 60, 1), Note(20, 0x90, 61, 1), Note(7, 0x92, 70, 1),
      MetaEv(0, 0x2F),      MetaEv(23, 0x2F),  // carries the muted 64 at 50
  };
  EXPECT_EQ(ReadAll(r), expected);

  r.UnmuteChannel(1);
  r.MuteChannel(0);
  ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  const auto events = ReadAll(r);
  ASSERT_GE(events.size(), 1u);
  EXPECT_EQ(events[0], Note(5, 0x91, 62, 1));   // the muted note at 0 added nothing
  EXPECT_EQ(events[2], Note(17, 0x92, 70, 1));  // 10 + 7: note 61 at 20 was muted
}

TEST(SMF2MID, SpeedBounds) {
  MidiBuilder m(0, 480);
  m.AddTrack().End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  for (int refused : {0, 1001, -5}) {
    r.SetSpeed(refused);
    EXPECT_EQ(r.GetTicksPerSecond(), 960.0) << refused;
  }
  r.SetSpeed(1000);
  EXPECT_EQ(r.GetTicksPerSecond(), 9600.0);
  EXPECT_EQ(r.GetMaxGapTicks(), 9600u * 86400u);
  r.SetSpeed(1);
  EXPECT_EQ(r.GetTicksPerSecond(), 9.6);
  EXPECT_EQ(r.GetMaxGapTicks(), 10u * 86400u);
}

TEST(SMF2MID, GapOverADayIsDamage) {
  // 960 ticks per second: a day is 82 944 000 ticks.
  constexpr uint32_t kDay = 960u * 86400u;
  {
    MidiBuilder m(0, 480);
    m.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(kDay, 0, 61, 1).End(0x0FFFFFFF);
    CSMF2MID r;
    ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);  // End of Track may be late
    EXPECT_EQ(ReadAll(r).size(), 3u);

    // Half speed halves the gap: the same delta is now damage, for good.
    r.SetSpeed(50);
    MusicEvent ev;
    ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
    ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
    ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
    EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged);
    EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged);
    EXPECT_EQ(r.Rewind(), OpenResult::kDamaged);  // and the reader is closed
    EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged);
    EXPECT_STREQ(r.GetTitle(), "");
  }
  {
    MidiBuilder m(0, 480);
    m.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(kDay + 1, 0, 61, 1).End();
    CSMF2MID r;
    EXPECT_EQ(OpenBytes(r, m.Build()), OpenResult::kDamaged);
    // A new Open clears the damage.
    MidiBuilder ok(0, 480);
    ok.AddTrack().End();
    EXPECT_EQ(OpenBytes(r, ok.Build()), OpenResult::kOpened);
  }
}

TEST(SMF2MID, TitleAndLengthFromTheOpeningScan) {
  MidiBuilder m(1, 480);
  m.AddTrack()
      .Tempo(0, 500000)
      .NoteOn(480, 0, 60, 1)  // 500 ms at 120 BPM
      .Tempo(480, 1000000)    // its ticks count at the new tempo: 1000 ms
      .NoteOff(240, 0, 60)    // 500 ms at 60 BPM
      .End();
  m.AddTrack().TrackName(0, "First").TrackName(0, "Second").TrackName(10, "Late").End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "First");
  EXPECT_EQ(r.GetLength(), 2000u);
  EXPECT_STREQ(r.GetDescription(), "Standard MIDI file");

  // A name after the first tick is no title; nor is anything when no name.
  MidiBuilder late(0, 480);
  late.AddTrack().NoteOn(1, 0, 60, 1).TrackName(0, "Late").End();
  ASSERT_EQ(OpenBytes(r, late.Build()), OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "");
  // 1 tick at 960 per second rounds to 1 ms.
  EXPECT_EQ(r.GetLength(), 1u);
}

TEST(SMF2MID, PercentDoneAndStickyEnd) {
  MidiBuilder m(0, 480);
  m.AddTrack().NoteOn(3, 0, 60, 1).NoteOn(0, 0, 61, 1).NoteOn(0, 0, 62, 1).End();  // 4 × 4 bytes
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  EXPECT_EQ(r.GetPercentDone(), 0u);
  MusicEvent ev;
  for (uint32_t expected : {25u, 50u, 75u, 100u}) {
    ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
    EXPECT_EQ(r.GetPercentDone(), expected);
  }
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  EXPECT_EQ(r.GetPercentDone(), 0u);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.delta, 3u);
}

TEST(SMF2MID, SkipToConsumesTheEventThatReachesTheTime) {
  MidiBuilder m(0, 480);
  auto& t = m.AddTrack();
  for (uint8_t n = 0; n < 5; ++n) t.NoteOn(480, 0, static_cast<uint8_t>(60 + n), 1);
  t.End();
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  MusicEvent ev;
  r.SkipTo(1000);  // notes at 500 and 1000 ms
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.data[0], 62);
  r.SkipTo(999);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.data[0], 62);
  r.SkipTo(0);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.data[0], 60);
  r.SkipTo(100000);
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
}

TEST(SMF2MID, BrokenTracksEndAtTheirChunk) {
  // Track 0 has no End of Track; track 1's last event claims more bytes than
  // its chunk holds (they would be track 2's); track 2 has an overlong delta
  // after its first event. Everything before those points plays.
  Bytes b = Header(1, 3, 480);
  AppendChunk(b, "MTrk", {0x00, 0x90, 60, 1, 0x10, 0x90, 61, 1});
  AppendChunk(b, "MTrk", {0x05, 0x91, 62, 1, 0x00, 0xFF, 0x01, 0x08, 'a'});
  AppendChunk(b, "MTrk", {0x08, 0x92, 63, 1, 0x81, 0x81, 0x81, 0x81, 0x01, 0x92, 64, 1});
  CSMF2MID r;
  ASSERT_EQ(OpenBytes(r, b), OpenResult::kOpened);
  const std::vector<Ev> expected = {Note(0, 0x90, 60, 1), Note(5, 0x91, 62, 1),
                                    Note(3, 0x92, 63, 1), Note(8, 0x90, 61, 1)};
  EXPECT_EQ(ReadAll(r), expected);

  // Cut inside a channel message's data and inside a delta.
  Bytes cut = Header(1, 2, 480);
  AppendChunk(cut, "MTrk", {0x00, 0x90, 60});
  AppendChunk(cut, "MTrk", {0x00, 0x91, 61, 1, 0x80});
  ASSERT_EQ(OpenBytes(r, cut), OpenResult::kOpened);
  EXPECT_EQ(ReadAll(r), std::vector<Ev>{Note(0, 0x91, 61, 1)});
  EXPECT_EQ(r.GetPercentDone(), 50u);  // 4 of 8 track bytes were events
}

TEST(SMF2MID, CloseIsSafeAndLeavesNothing) {
  MidiBuilder m(0, 96);
  m.AddTrack().TrackName(0, "T").End();
  CSMF2MID r;
  MusicEvent ev;
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);  // never opened
  EXPECT_EQ(r.Rewind(), OpenResult::kCannotOpen);
  ASSERT_EQ(OpenBytes(r, m.Build()), OpenResult::kOpened);
  r.Close();
  r.Close();
  EXPECT_STREQ(r.GetTitle(), "");
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  EXPECT_EQ(r.GetDivision(), 96u);
}

}  // namespace
}  // namespace tonvelo
