#include "readers/smf2mid.h"

#include <gtest/gtest.h>

#include <algorithm>
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

Bytes Header(uint16_t format, uint16_t tracks, uint16_t division) {
  Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
  test::PutBE(b, format, 2);
  test::PutBE(b, tracks, 2);
  test::PutBE(b, division, 2);
  return b;
}

Bytes& Chunk(Bytes& b, const char* id, const Bytes& body) {
  b.insert(b.end(), id, id + 4);
  test::PutBE(b, static_cast<uint32_t>(body.size()), 4);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

const Bytes kEndOnly = {0x00, 0xFF, 0x2F, 0x00};

TEST(SMF2MID, MergesTracksInTimeOrderTiesToLowerTrack) {
  MidiBuilder m(1, 480);
  m.AddTrack().NoteOn(0, 0, 60, 100).NoteOn(10, 0, 62, 100).NoteOff(20, 0, 60).End();
  m.AddTrack().NoteOn(5, 1, 64, 90).NoteOn(5, 1, 65, 90).NoteOff(25, 1, 64).End();
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);
  ReadResult last;
  const std::vector<Ev> expected = {
      Note(0, 0x90, 60, 100), Note(5, 0x91, 64, 90), Note(5, 0x90, 62, 100), Note(0, 0x91, 65, 90),
      Note(20, 0x80, 60, 64), MetaEv(0, 0x2F),       Note(5, 0x81, 64, 64),  MetaEv(0, 0x2F),
  };
  EXPECT_EQ(ReadAll(r, &last), expected);
  EXPECT_EQ(last, ReadResult::kEnd);
}

TEST(SMF2MID, ManyTracksMergeLikeAStableSortOnEveryPass) {
  // Against a stable sort by tick, for track counts around the powers of two
  // the merge tree is built on; past 256 tracks later passes cannot follow
  // the recorded order and keep merging, so both ways are covered.
  for (uint16_t tracks : {1, 2, 3, 5, 16, 17, 300}) {
    MidiBuilder m(1, 96);
    std::vector<std::pair<uint64_t, uint32_t>> ref;  // tick, track << 8 | note
    uint32_t seed = 99u + tracks;
    for (uint16_t t = 0; t < tracks; ++t) {
      auto& tb = m.AddTrack();
      uint64_t tick = 0;
      const uint32_t count = (seed >> 8) % 12;  // some tracks stay empty
      for (uint32_t i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        const uint32_t delta = (seed >> 16) % 4 == 0 ? 0 : (seed >> 16) % 7;
        tick += delta;
        tb.NoteOn(delta, static_cast<uint8_t>(t & 15), static_cast<uint8_t>(i), 1);
        ref.push_back({tick, uint32_t{t} << 8 | i});
      }
      seed = seed * 1103515245u + 12345u;
      tb.End(0);
      ref.push_back({tick, uint32_t{t} << 8 | 0xFF});
    }
    std::stable_sort(ref.begin(), ref.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    CSMF2MID r;
    ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);
    const auto events = ReadAll(r);
    ASSERT_EQ(events.size(), ref.size()) << tracks;
    uint64_t tick = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
      tick += events[i].delta;
      const uint32_t track = ref[i].second >> 8;
      const bool end = (ref[i].second & 0xFF) == 0xFF;
      EXPECT_EQ(tick, ref[i].first) << tracks << " tracks, event " << i;
      EXPECT_EQ(events[i].status, end ? 0x2F : 0x90 | (track & 15)) << tracks << ", " << i;
      if (!end) {
        EXPECT_EQ(events[i].data[0], ref[i].second & 0xFF) << tracks << ", " << i;
      }
    }
    ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
    EXPECT_EQ(ReadAll(r), events) << tracks;
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
  ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);
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

TEST(SMF2MID, OpenResults) {
  CSMF2MID r;
  Bytes b = Header(2, 1, 480);
  EXPECT_EQ(r.OpenBuffer(Chunk(b, "MTrk", kEndOnly)), OpenResult::kUnsupported);
  for (uint16_t div : {0x8019, 23, 32769, 24, 32768}) {
    b = Header(0, 1, div);
    const bool ok = div == 24 || div == 32768;  // SMPTE and nonsense are "not MIDI"
    EXPECT_EQ(r.OpenBuffer(Chunk(b, "MTrk", kEndOnly)),
              ok ? OpenResult::kOpened : OpenResult::kNotThisFormat)
        << div;
  }
  b = Header(1, 2, 480);
  Chunk(Chunk(b, "MTrk", kEndOnly), "XFIH", {1, 2, 3});
  EXPECT_EQ(r.OpenBuffer(Chunk(b, "MTrk", kEndOnly)), OpenResult::kDamaged);  // foreign chunk
  b = Header(1, 1, 480);
  Chunk(Chunk(b, "MTrk", kEndOnly), "XFIH", {1, 2, 3}).push_back(0x55);
  EXPECT_EQ(r.OpenBuffer(b), OpenResult::kOpened);  // after the counted tracks anything goes
  b = Header(0, 1, 480);
  Chunk(b, "MTrk", kEndOnly)[21] = 5;  // one byte more than the file holds
  EXPECT_EQ(r.OpenBuffer(b), OpenResult::kDamaged);
  b = Header(1, 2, 480);
  Chunk(b, "MTrk", kEndOnly);
  b.insert(b.end(), {'M', 'T', 'r'});
  EXPECT_EQ(r.OpenBuffer(b), OpenResult::kDamaged);
  b = Header(0, 1, 480);
  b[0] = 'R';
  EXPECT_EQ(r.OpenBuffer(b), OpenResult::kNotThisFormat);
  EXPECT_EQ(r.OpenBuffer(Bytes{'M', 'T', 'h', 'd', 0, 0}), OpenResult::kReadIncomplete);
  ASSERT_EQ(r.OpenBuffer(Header(0, 0, 480)), OpenResult::kOpened);  // no tracks: an empty song
  MusicEvent ev;
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  EXPECT_EQ(r.GetPercentDone(), 0u);

  const auto dir = std::filesystem::temp_directory_path() / "tonvelo_smf_open";
  std::filesystem::create_directories(dir);
  MidiBuilder m(0, 480);
  m.AddTrack().TrackName(0, "Song").End();
  m.Write(dir / "song.mid");
  test::WriteBytes(dir / "short.mid", {'M', 'T', 'h', 'd', 0});
  EXPECT_EQ(r.Open(dir / "song.mid"), OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "Song");
  EXPECT_EQ(r.Open(dir / "missing.mid"), OpenResult::kCannotOpen);
  EXPECT_EQ(r.Open(dir / "short.mid"), OpenResult::kReadIncomplete);
  std::filesystem::remove_all(dir);
}

TEST(SMF2MID, TempoFormulasAndTempoField) {
  MidiBuilder m(0, 480);
  m.AddTrack()
      .Tempo(0, 600000)
      .Tempo(0, 533333)  // 112.5000703 BPM: not whole
      .Tempo(0, 500000)
      .Meta(0, 0x51, {0x09, 0x27})              // too short: changes nothing
      .Meta(0, 0x51, {0x09, 0x27, 0xC0, 0x55})  // 600000, extra byte ignored
      .Tempo(0, 0)                              // taken as 1
      .End();
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);
  struct {
    uint32_t fieldTempo, tempo, bpm;
    double ticksPerSecond;
    uint32_t maxGap;
  } const steps[] = {
      {500000, 600000, 100, 800.0, 800u * 86400},
      {600000, 533333, 0, 480.0 * 100 * 10000 / 533333, 900u * 86400},
      {533333, 500000, 120, 960.0, 960u * 86400},
      {500000, 500000, 120, 960.0, 960u * 86400},
      {500000, 600000, 100, 800.0, 800u * 86400},
      {600000, 1, 60000000, 480.0 * 100 * 60000000 / 6000, UINT32_MAX},  // a day is beyond u32
  };
  EXPECT_EQ(r.GetTicksPerSecond(), 960.0);  // at rewind: 480 × 100 × 120 / 6000
  MusicEvent ev;
  for (const auto& s : steps) {
    ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
    EXPECT_EQ(ev.tempo, s.fieldTempo) << s.tempo;  // the tempo before the change
    EXPECT_EQ(r.GetTempo(), s.tempo);
    EXPECT_EQ(r.GetBPM(), s.bpm) << s.tempo;
    EXPECT_EQ(r.GetTicksPerSecond(), s.ticksPerSecond) << s.tempo;
    EXPECT_EQ(r.GetMaxGapTicks(), s.maxGap) << s.tempo;
  }
  ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  EXPECT_EQ(r.GetTempo(), 500000u);
  EXPECT_EQ(r.GetTicksPerSecond(), 960.0);
}

TEST(SMF2MID, MutedChannelsCarryTheirTicks) {
  MidiBuilder m(1, 480);
  m.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(20, 0, 61, 1).NoteOn(7, 2, 70, 1).End(0);
  m.AddTrack().NoteOn(5, 1, 62, 1).NoteOn(5, 1, 63, 1).NoteOn(40, 1, 64, 1).End();
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);
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
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0], Note(5, 0x91, 62, 1));   // the muted note at 0 added nothing
  EXPECT_EQ(events[2], Note(17, 0x92, 70, 1));  // 10 + 7: note 61 at 20 was muted

  // Every channel-kind event has its channel in the low nibble, 0xF8 too.
  MidiBuilder sys(0, 480);
  sys.AddTrack().Raw(3, {0xF8}).NoteOn(4, 0, 60, 1).End();
  ASSERT_EQ(r.OpenBuffer(sys.Build()), OpenResult::kOpened);
  r.UnmuteChannel(0);
  r.MuteChannel(8);
  EXPECT_EQ(ReadAll(r), (std::vector<Ev>{Note(7, 0x90, 60, 1), MetaEv(0, 0x2F)}));
}

TEST(SMF2MID, SpeedBoundsAndDamageFromADayLongGap) {
  MidiBuilder m(0, 480);
  m.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(960u * 86400, 0, 61, 1).End(0x0FFFFFFF);
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);  // End of Track may be late
  for (int refused : {0, 1001, -5}) {
    r.SetSpeed(refused);
    EXPECT_EQ(r.GetTicksPerSecond(), 960.0) << refused;
  }
  r.SetSpeed(1000);
  EXPECT_EQ(r.GetMaxGapTicks(), 9600u * 86400);
  r.SetSpeed(1);
  EXPECT_EQ(r.GetTicksPerSecond(), 9.6);
  EXPECT_EQ(r.GetMaxGapTicks(), 10u * 86400);
  r.SetSpeed(100);
  ReadResult last;
  EXPECT_EQ(ReadAll(r, &last).size(), 3u);
  MusicEvent ev;
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);  // the end is sticky

  // Half speed halves the gap: the same delta is now damage, for good.
  r.SetSpeed(50);
  ASSERT_EQ(r.Rewind(), OpenResult::kOpened);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged);
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged);
  EXPECT_EQ(r.Rewind(), OpenResult::kDamaged);  // and the reader is closed
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kDamaged);

  MidiBuilder over(0, 480);
  over.AddTrack().NoteOn(0, 0, 60, 1).NoteOn(960u * 86400 + 1, 0, 61, 1).End();
  r.SetSpeed(100);
  EXPECT_EQ(r.OpenBuffer(over.Build()), OpenResult::kDamaged);
  MidiBuilder ok(0, 480);
  ok.AddTrack().End();
  EXPECT_EQ(r.OpenBuffer(ok.Build()), OpenResult::kOpened);  // a new Open clears the damage
}

TEST(SMF2MID, LongQuantitiesAndLongSongs) {
  // A quantity may take more than four bytes; leading 0x80s add nothing.
  Bytes b = Header(0, 1, 480);
  Chunk(b, "MTrk", {0x80, 0x80, 0x80, 0x80, 0x05, 0x90, 60, 1, 0x00, 0xFF, 0x2F, 0x00});
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(b), OpenResult::kOpened);
  EXPECT_EQ(ReadAll(r), (std::vector<Ev>{Note(5, 0x90, 60, 1), MetaEv(0, 0x2F)}));

  // At 1 µs per beat any delta is allowed, and two tracks a tick apart run
  // past 2^48 ticks: the merged clock has no limit of its own.
  constexpr uint32_t kSteps = 65600;
  MidiBuilder longSong(1, 480);
  auto& t0 = longSong.AddTrack().Tempo(0, 1);
  for (uint32_t i = 0; i < kSteps; ++i) t0.NoteOn(0xFFFFFFFF, 0, 60, 1);
  auto& t1 = longSong.AddTrack().NoteOn(0xFFFFFFFE, 1, 61, 1);
  for (uint32_t i = 1; i < kSteps; ++i) t1.NoteOn(0xFFFFFFFF, 1, 61, 1);
  ASSERT_EQ(r.OpenBuffer(longSong.Build()), OpenResult::kOpened);
  const auto events = ReadAll(r);
  ASSERT_EQ(events.size(), 2 * kSteps + 1);
  uint64_t tick = 0;
  for (size_t i = 1; i < events.size(); ++i) {
    tick += events[i].delta;
    ASSERT_EQ(events[i].status, i % 2 ? 0x91 : 0x90) << i;
    ASSERT_EQ(tick, uint64_t{0xFFFFFFFF} * ((i + 1) / 2) - i % 2) << i;
  }
}

TEST(SMF2MID, TitleLengthPercentAndSkipTo) {
  MidiBuilder m(1, 480);
  m.AddTrack()
      .Tempo(0, 500000)
      .NoteOn(480, 0, 60, 1)  // 500 ms at 120 BPM
      .Tempo(480, 1000000)    // its ticks count at the new tempo: 1000 ms
      .NoteOff(240, 0, 60)    // 500 ms at 60 BPM
      .End();
  m.AddTrack().TrackName(0, "First").TrackName(0, "Second").TrackName(10, "Late").End();
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(m.Build()), OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "First");
  EXPECT_EQ(r.GetLength(), 2000u);
  EXPECT_STREQ(r.GetDescription(), "Standard MIDI file");
  MidiBuilder late(0, 480);
  late.AddTrack().NoteOn(1, 0, 60, 1).TrackName(0, "Late").End();
  ASSERT_EQ(r.OpenBuffer(late.Build()), OpenResult::kOpened);
  EXPECT_STREQ(r.GetTitle(), "");  // a name after the first tick is no title
  EXPECT_EQ(r.GetLength(), 1u);    // 1 tick at 960 per second rounds to 1 ms

  MidiBuilder notes(0, 480);
  auto& t = notes.AddTrack();
  for (uint8_t n = 0; n < 3; ++n) t.NoteOn(480, 0, static_cast<uint8_t>(60 + n), 1);
  t.End();  // three events of five bytes and one of four
  ASSERT_EQ(r.OpenBuffer(notes.Build()), OpenResult::kOpened);
  MusicEvent ev;
  for (uint32_t percent : {26u, 52u, 78u, 100u}) {
    ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
    EXPECT_EQ(r.GetPercentDone(), percent);
  }
  r.SkipTo(1000);  // the note at 1000 ms is consumed
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.data[0], 62);
  r.SkipTo(0);
  EXPECT_EQ(r.GetPercentDone(), 0u);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.data[0], 60);
}

TEST(SMF2MID, BrokenTracksEndAtTheirChunk) {
  // Track 0 has no End of Track; track 1's last event claims more bytes than
  // its chunk holds (they would be track 2's). Everything before plays.
  Bytes b = Header(1, 3, 480);
  Chunk(b, "MTrk", {0x00, 0x90, 60, 1, 0x10, 0x90, 61, 1});
  Chunk(b, "MTrk", {0x05, 0x91, 62, 1, 0x00, 0xFF, 0x01, 0x08, 'a'});
  Chunk(b, "MTrk", {0x08, 0x92, 63, 1, 0x00, 0x92, 64});  // cut inside the data
  CSMF2MID r;
  ASSERT_EQ(r.OpenBuffer(b), OpenResult::kOpened);
  EXPECT_EQ(ReadAll(r), (std::vector<Ev>{Note(0, 0x90, 60, 1), Note(5, 0x91, 62, 1),
                                         Note(3, 0x92, 63, 1), Note(8, 0x90, 61, 1)}));
  EXPECT_EQ(r.GetPercentDone(), 66u);  // 16 of 24 track bytes were events

  r.Close();
  r.Close();
  EXPECT_STREQ(r.GetTitle(), "");
  MusicEvent ev;
  EXPECT_EQ(r.ReadEvent(ev), ReadResult::kEnd);
  EXPECT_EQ(r.Rewind(), OpenResult::kCannotOpen);
}

}  // namespace
}  // namespace tonvelo
