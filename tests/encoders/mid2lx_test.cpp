#include "encoders/lx/mid2lx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "decoders/lx_decoder.h"
#include "readers/smf2mid.h"
#include "tests/support/fake_accompaniment.h"
#include "tests/support/memory_output.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Crc32Oracle(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    for (int b = 0; b < 8; ++b) {
      const bool top = ((crc ^ (p[i] >> b)) & 1) != 0;
      crc = top ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
  }
  return ~crc;
}
uint32_t CrcSeOracle(const uint8_t* p, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    for (int b = 7; b >= 0; --b) {
      const bool top = ((crc >> 31) ^ ((p[i] >> b) & 1)) != 0;
      crc = top ? (crc << 1) ^ 0x01020009 : crc << 1;
    }
  }
  return crc;
}

TEST(LXFrameCheckTest, TablesMatchBitwiseOraclesAndTheCheckValue) {
  const Bytes check = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
  uint32_t lx[256], se[256];
  CMid2LX::BuildCrcTable(LX_MODE_LX, lx);
  CMid2LX::BuildCrcTable(LX_MODE_SE_TAPE, se);
  for (const Bytes& d : {check, data}) {
    uint32_t a = 0xFFFFFFFF, b = 0;
    for (uint8_t x : d) {
      a = (a >> 8) ^ lx[(a ^ x) & 0xFF];
      b = (b << 8) ^ se[(b >> 24) ^ x];
    }
    EXPECT_EQ(~a, Crc32Oracle(d.data(), d.size()));
    EXPECT_EQ(b, CrcSeOracle(d.data(), d.size()));
  }
  EXPECT_EQ(Crc32Oracle(check.data(), check.size()), 0xCBF43926u);
}

TEST(LXStrikeTest, StrikeValuesFallAsVelocityRises) {
  struct Case {
    uint16_t got, want;
  };
  for (const auto& [got, want] : {
           Case{StrikeFromVelocityDisklavier(52), 128},
           Case{StrikeFromVelocityDisklavier(127), 16},
           Case{StrikeFromVelocityDisklavier(1), 526},
           Case{StrikeFromVelocity(60, 46), 128},
           Case{StrikeFromVelocity(67, 46), 126},
           Case{StrikeFromVelocity(108, 127), 30},
           Case{StrikeFromFineVelocity(0, 126), 16},
           Case{StrikeFromFineVelocity(127, 126), 10},
           Case{StrikeFromFineVelocity(0, 1), 1020},
           Case{StrikeFromFineVelocity(127, 3), 490},
           Case{StrikeFromFineVelocity(64, 127), 0},
           Case{StrikeFromFineVelocity(64, 0), 0},
       }) {
    EXPECT_EQ(got, want);
  }
}

struct Encoded {
  Result result = Result::kSuccess;
  test::MemoryOutput out;
  PedalList sustain;
  LXDecodeDetail detail;
  DecodedTrack track;
};

std::unique_ptr<Encoded> EncodeLX(const Bytes& midi, LXMode mode, uint32_t rate,
                                  CPCMIn* accompaniment = nullptr, uint32_t seed = 1) {
  auto e = std::make_unique<Encoded>();
  CSMF2MID reader;
  EXPECT_EQ(reader.OpenBuffer(midi), OpenResult::kOpened);
  auto enc = std::make_unique<CMid2LX>();
  enc->SetMode(mode);
  enc->SetScramblerSeed(seed);
  enc->SetSampleRate(rate);
  enc->SetOutput(&e->out);
  enc->SetAccompaniment(accompaniment);
  enc->SetSource(&reader);
  e->result = enc->Encode();
  e->sustain = enc->GetSustainCurve();
  e->track = DecodeLXDetailed(e->out.Right().data(), e->out.Size(), rate, e->detail);
  return e;
}

Bytes Song(const std::function<void(test::TrackBuilder&)>& body) {
  test::MidiBuilder midi(0, 480);
  auto& t = midi.AddTrack().Tempo(0, 500000);
  body(t);
  t.End();
  return midi.Build();
}

class LXRoundTripTest : public testing::TestWithParam<std::tuple<LXMode, uint32_t>> {
 protected:
  LXMode Mode() const { return std::get<0>(GetParam()); }
  uint32_t Rate() const { return std::get<1>(GetParam()); }
};

// At 120 bpm and 480 per quarter, 6 MIDI ticks are 5 LX ticks.
TEST_P(LXRoundTripTest, NotesAndPedalsComeBackInTheirBlocks) {
  const auto e = EncodeLX(Song([](test::TrackBuilder& t) {
                            t.NoteOn(0, 0, 60, 46).NoteOn(0, 0, 21, 1).Control(60, 0, 64, 127);
                            t.NoteOff(60, 0, 60).Control(0, 0, 66, 100).NoteOn(0, 0, 108, 127);
                            t.NoteOn(0, 0, 109, 64).Control(240, 0, 66, 0).NoteOff(0, 0, 21);
                            t.NoteOff(0, 0, 108).Control(0, 0, 64, 0);
                          }),
                          Mode(), Rate());
  ASSERT_EQ(e->result, Result::kSuccess);
  ASSERT_EQ(e->detail.mode, static_cast<int>(Mode()));
  EXPECT_EQ(e->detail.leaderBytes, kLXModes[Mode()].leaderBytes);
  for (const auto& f : e->detail.frames) ASSERT_TRUE(f.crcOk) << f.streamOffset;
  EXPECT_TRUE(e->track.errors.empty());

  // The lead-in puts the first note 0.25 s (200 ticks) after the start; the
  // two-byte strike 298 is sent as 01 2A, key 109 not at all.
  using N = std::tuple<uint32_t, int, int, bool, int>;
  std::vector<N> notes;
  for (const auto& n : e->detail.notes) notes.emplace_back(n.block, n.tick, n.key, n.on, n.strike);
  EXPECT_EQ(notes, (std::vector<N>{{0, 200, 60, true, 128},
                                   {0, 200, 21, true, 298},
                                   {1, 44, 60, false, 0},
                                   {1, 44, 0, true, 0},
                                   {1, 44, 108, true, 30},
                                   {1, 244, 0, false, 0},
                                   {1, 244, 21, false, 0},
                                   {1, 244, 108, false, 0}}));
  const uint8_t* queue = &e->detail.frames[0].bytes[kLXModes[Mode()].headerBytes + 48];
  EXPECT_EQ(Bytes(queue, queue + 7), (Bytes{200, 0xBC, 128, 200, 0x95, 0x01, 0x2A}));

  // Every block's levels are the curve's at its 8-tick slots while the music
  // runs (up to tick 500), then 0; the pedal goes down during block 0.
  const size_t closing = Mode() == LX_MODE_PIANOMATION1 ? 8 : 3;
  ASSERT_GE(e->detail.blocks.size(), 2 + closing);
  for (const auto& b : e->detail.blocks) {
    for (uint32_t i = 0; i < 32; ++i) {
      const uint32_t tick = b.block * 256 + 8 * i;
      const int want = tick <= 500 ? static_cast<int>(e->sustain[tick / 8].level + 0.5) : 0;
      ASSERT_EQ(b.sustain[i], want) << b.block << " " << i;
    }
  }
  EXPECT_GT(e->detail.blocks[1].sustain[0], 150);
  // The decoded track times them as the piano plays: after the mode's latency.
  ASSERT_FALSE(e->track.events.empty());
  const double start = e->track.dataStartSeconds + kLXModes[Mode()].accompanimentDelaySeconds;
  for (const auto& ev : e->track.events) {
    if (ev.status == 0x90) {
      EXPECT_NEAR(ev.timeSeconds, start + 0.25, 1e-9);
      break;
    }
  }
  EXPECT_NEAR(e->track.dataStartSeconds, 0.0, 1.0 / Rate());
}

// No pedal, no notes: every block is a frame of 00 FF 00 FF ... levels, and
// the byte position paces the copies.
TEST_P(LXRoundTripTest, EmptyBlocksPaceTheStream) {
  const auto e = EncodeLX(Song([](test::TrackBuilder&) {}), Mode(), Rate());
  ASSERT_EQ(e->result, Result::kSuccess);
  std::vector<std::pair<int, int>> copies;  // block, position field
  for (const auto& f : e->detail.frames) {
    ASSERT_TRUE(f.crcOk);
    const Bytes& b = f.bytes;
    const size_t covered = b.size() - 8;
    const uint32_t crc =
        Mode() == LX_MODE_LX ? Crc32Oracle(&b[4], covered) : CrcSeOracle(&b[4], covered);
    const uint32_t sent = Mode() == LX_MODE_LX
                              ? b[b.size() - 4] | b[b.size() - 3] << 8 | b[b.size() - 2] << 16 |
                                    static_cast<uint32_t>(b[b.size() - 1]) << 24
                              : static_cast<uint32_t>(b[b.size() - 4]) << 24 |
                                    b[b.size() - 3] << 16 | b[b.size() - 2] << 8 | b[b.size() - 1];
    ASSERT_EQ(crc, sent);
    const size_t h = kLXModes[Mode()].headerBytes;
    for (size_t i = 0; i < 48; ++i) ASSERT_EQ(b[h + i], i % 2 ? 0xFF : 0x00);
    if (f.blockNumber < 2) copies.emplace_back(f.blockNumber, f.positionField);
  }
  using C = std::vector<std::pair<int, int>>;
  const C want =
      Mode() == LX_MODE_LX
          ? C{{0, 42}, {0, 114}, {0, 186}, {0, 258}, {1, 330}, {1, 402}, {1, 474}}
          : C{{0, 8}, {0, 72}, {0, 136}, {0, 200}, {1, 264}, {1, 328}, {1, 392}, {1, 456}};
  EXPECT_EQ(copies, want);
  for (int16_t l : e->out.Left()) ASSERT_EQ(l, 0);
  // One second of silence closes the track.
  const auto& right = e->out.Right();
  for (size_t i = right.size() - Rate(); i < right.size(); ++i) ASSERT_EQ(right[i], 0);
  EXPECT_TRUE(std::any_of(right.end() - Rate() - 8, right.end() - Rate(),
                          [](int16_t v) { return v != 0; }));
}

// Leading silence goes only without an accompaniment, which is delayed by
// the receiver's latency (1, 2 or 3 s) and faded in from 0.
TEST_P(LXRoundTripTest, LeadInAndAccompanimentDelay) {
  const Bytes midi =
      Song([](test::TrackBuilder& t) { t.NoteOn(2880, 0, 64, 80).NoteOff(60, 0, 64); });
  const auto plain = EncodeLX(midi, Mode(), Rate());
  auto accomp = test::FakeAccompaniment::Mono(std::vector<int16_t>(Rate() * 5, 4000), Rate());
  const auto with = EncodeLX(midi, Mode(), Rate(), &accomp);
  ASSERT_EQ(plain->detail.notes.size(), 2u);
  ASSERT_EQ(with->detail.notes.size(), 2u);
  EXPECT_EQ(plain->detail.notes[0].block * 256 + plain->detail.notes[0].tick, 200u);
  EXPECT_EQ(with->detail.notes[0].block * 256 + with->detail.notes[0].tick, 2400u);
  const auto delay = static_cast<size_t>(kLXModes[Mode()].accompanimentDelaySeconds * Rate());
  EXPECT_EQ(with->out.Left()[delay], 0);
  EXPECT_EQ(with->out.Left()[delay + 1], 10);
  EXPECT_EQ(with->out.Left()[delay - 1], 0);
  // The track runs until the recording has played out, plus one second.
  EXPECT_EQ(with->out.Size(), delay + Rate() * 5 + Rate());
}

INSTANTIATE_TEST_SUITE_P(ModesAndRates, LXRoundTripTest,
                         testing::Combine(testing::Values(LX_MODE_LX, LX_MODE_SE_TAPE,
                                                          LX_MODE_PIANOMATION1),
                                          testing::Values(44100u, 48000u)));

// 64 note-ons of 3 bytes and 64 note-offs of 2 fill the queue exactly: the
// 392-byte frame goes once. One note more does not fit.
TEST(LXQueueTest, AFullQueueGoesOnceAndOverflowFails) {
  for (int extra : {0, 1}) {
    const auto e = EncodeLX(Song([&](test::TrackBuilder& t) {
                              for (int k = 0; k < 64 + extra; ++k) t.NoteOn(0, 0, 21 + k, 64);
                              t.NoteOff(24, 0, 21);
                              for (int k = 1; k < 64 + extra; ++k) t.NoteOff(0, 0, 21 + k);
                            }),
                            LX_MODE_LX, 44100);
    if (extra == 1) {
      EXPECT_EQ(e->result, Result::kDataFormatError);
      continue;
    }
    ASSERT_EQ(e->result, Result::kSuccess);
    ASSERT_EQ(e->detail.frames[0].bytes.size(), 392u);
    EXPECT_EQ(e->detail.frames[1].blockNumber, 1);
    EXPECT_EQ(e->detail.notes.size(), 128u);
  }
}

// A controller 16 at time 0 marks fine velocities: a note sounds once a
// controller 16 refines it (else the next note-on replaces it), and key
// pressure 127 and 0 press and release a key silently.
TEST(LXQueueTest, FineVelocityNotes) {
  const auto e = EncodeLX(Song([](test::TrackBuilder& t) {
                            t.Control(0, 0, 16, 0).NoteOn(0, 0, 60, 126).Control(0, 0, 16, 0);
                            t.NoteOn(0, 0, 62, 90).NoteOn(0, 0, 64, 3).Control(0, 0, 16, 127);
                            t.Raw(0, {0xA0, 65, 127}).Raw(60, {0xA0, 65, 0});
                            t.NoteOff(0, 0, 60).NoteOff(0, 0, 64);
                          }),
                          LX_MODE_LX, 48000);
  ASSERT_EQ(e->result, Result::kSuccess);
  using N = std::tuple<uint32_t, int, int, bool, int>;
  std::vector<N> notes;
  for (const auto& n : e->detail.notes) notes.emplace_back(n.block, n.tick, n.key, n.on, n.strike);
  EXPECT_EQ(notes, (std::vector<N>{{0, 200, 60, true, 16},
                                   {0, 200, 64, true, 490},
                                   {0, 200, 65, true, 0},
                                   {0, 250, 65, false, 0},
                                   {0, 250, 60, false, 0},
                                   {0, 250, 64, false, 0}}));
}

TEST(LXSeedTest, TheSeedChangesTheBytesButNotTheTiming) {
  const Bytes midi =
      Song([](test::TrackBuilder& t) { t.NoteOn(0, 0, 60, 64).NoteOff(480, 0, 60); });
  const auto a = EncodeLX(midi, LX_MODE_LX, 44100, nullptr, 1);
  const auto b = EncodeLX(midi, LX_MODE_LX, 44100, nullptr, 1);
  const auto c = EncodeLX(midi, LX_MODE_LX, 44100, nullptr, 2);
  EXPECT_EQ(a->out.Right(), b->out.Right());
  EXPECT_NE(a->out.Right(), c->out.Right());
  EXPECT_EQ(a->out.Size(), c->out.Size());
  EXPECT_EQ(a->detail.notes.size(), c->detail.notes.size());
}

}  // namespace
}  // namespace tonvelo
