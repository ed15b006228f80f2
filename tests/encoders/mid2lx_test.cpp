#include "encoders/lx/mid2lx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "decoders/lx_decoder.h"
#include "encoders/lx/lx_pedal.h"
#include "readers/smf2mid.h"
#include "tests/support/fake_accompaniment.h"
#include "tests/support/memory_output.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

using Bytes = std::vector<uint8_t>;
using Notes = std::vector<std::tuple<uint32_t, int, bool, int>>;  // tick, key, on, strike

TEST(LXStrikeTest, StrikeValuesFallAsVelocityRises) {
  const std::vector<uint16_t> got = {
      StrikeFromVelocityDisklavier(52), StrikeFromVelocityDisklavier(127),
      StrikeFromVelocityDisklavier(1),  StrikeFromVelocity(60, 46),
      StrikeFromVelocity(67, 46),       StrikeFromVelocity(108, 127),
      StrikeFromFineVelocity(0, 126),   StrikeFromFineVelocity(127, 126),
      StrikeFromFineVelocity(0, 1),     StrikeFromFineVelocity(127, 3),
      StrikeFromFineVelocity(64, 127),  StrikeFromFineVelocity(64, 0)};
  EXPECT_EQ(got, (std::vector<uint16_t>{128, 16, 526, 128, 126, 30, 16, 10, 1020, 490, 0, 0}));
}

PedalPoint P(uint32_t tick, double level, uint32_t since = 0, double energy = 0) {
  return {tick, since, energy, level, -1};
}

// Each row: a pedal list, a step, and the list after it as "tick:level ...".
TEST(LXPedalTest, ListStepsAndMotionShaping) {
  const auto merge = [](PedalList& l) { MergeSameTickPoints(l), DropRepeatedLevels(l); };
  const auto sustain = [](PedalList& l) { ShapePedalMotion(l, true); };
  const auto soft = [](PedalList& l) { ShapePedalMotion(l, false); };
  // clang-format off
  const std::tuple<std::function<void(PedalList&)>, PedalList, const char*> cases[] = {
      {merge, {P(0, 0), P(100, 50), P(100, 70), P(200, 70), P(300, 70)}, "0:0 100:70 300:70"},
      // 90 lies in the dead band, 96 is down, 84 up; a second "down" is dropped.
      {ReduceToOnOff, {P(0, 0), P(100, 90), P(200, 96), P(250, 120), P(300, 84), P(400, 0)},
       "0:0 200:255 300:0 400:0"},
      // A press long after a note ramps over 291 ticks; a release 2 s after a quiet note over 510.
      {sustain, {P(0, 0, 10000), P(400, 255, 1000), P(1000, 0, 1600, 20), P(1250, 0)},
       "0:0 291:0 388:85 582:255 648:255 988:85 1158:0 1250:0"},
      // Soon after a loud chord: 107 ticks, 71 before and 35 after.
      {sustain, {P(0, 0, 10000), P(400, 255, 1000), P(1000, 0, 300, 120), P(1250, 0)},
       "0:0 291:0 388:85 582:255 917:255 988:85 1023:0 1250:0"},
      // The soft pedal let up for 100 ticks stays down.
      {soft, {P(0, 0), P(400, 255), P(1000, 0), P(1100, 255), P(2000, 0), P(2250, 0)},
       "0:0 291:0 376:128 461:255 1100:255 1891:255 1976:128 2061:0 2250:0"},
      // Proportional steps hold, then move within gap/30 ticks.
      {sustain, {P(0, 0, 10000), P(400, 254, 200), P(1000, 0, 800), P(1250, 0)},
       "0:0 387:0 400:254 999:254 1000:0 1250:0"},
      // A press cut short by a release a tick later ends on the press; the release meets it there.
      {sustain, {P(0, 0, 10000), P(399, 0, 5), P(400, 255, 5), P(401, 0, 6), P(1250, 0)},
       "0:0 386:0 360:0 400:85 400:87.3943662 401:85 436:0 1250:0"},
  };
  // clang-format on
  for (const auto& [step, in, want] : cases) {
    PedalList l = in;
    step(l);
    std::string got;
    char b[32];
    for (const PedalPoint& p : l)
      got += (std::snprintf(b, sizeof b, " %u:%.10g", p.tick, p.level), b);
    EXPECT_EQ(got.substr(1), want);
  }
}

TEST(LXPedalTest, CurvesFromNothingFromSwitchesAndShifted) {
  // No pedal: switch curves, one point per 8 (sustain) or 16 (soft) ticks.
  PedalList sustain{P(0, 0, 10000), P(800, 0)}, soft = sustain;
  PedalCurves c = BuildPedalCurves(sustain, soft, false, 0, nullptr);
  EXPECT_EQ(std::tuple(c.proportional, c.sustain.size(), c.soft.size(), c.sustain.back().tick),
            std::tuple(false, size_t{101}, size_t{51}, 800u));
  // Controller 127 (254) makes a file proportional; synthesising ramps its steps through 85.
  for (bool synth : {false, true}) {
    sustain = {P(0, 0, 10000), P(400, 254, 1000), P(1000, 0, 1600), P(1250, 0)};
    soft = {P(0, 0, 10000), P(1250, 0)};
    EXPECT_TRUE(BuildPedalCurves(sustain, soft, synth, 0, nullptr).proportional);
    EXPECT_EQ(sustain[2].level, synth ? 85 : 254) << synth;
  }
  // Both coefficient sets keep a steady level.
  for (const PedalSmoothing* k : {&kProportionalSmoothing, &kOnOffSmoothing})
    for (const auto& p : SmoothCurve(PedalList(10, P(0, 100)), *k)) EXPECT_NEAR(p.level, 100, 1e-6);
  // The sustain offset delays or advances the resampled curve, holding its ends.
  const PedalList l{P(0, 30), P(400, 30), P(410, 200), P(900, 200), P(1000, 0)};
  const PedalList base = ResampleCurve(l, 8, 0), later = ResampleCurve(l, 8, 80),
                  earlier = ResampleCurve(l, 8, -80);
  ASSERT_EQ(later.size(), base.size());
  for (size_t k = 0; k < base.size(); ++k) {
    EXPECT_EQ(later[k].tick, 8 * k);
    EXPECT_EQ(later[k].level, k < 10 ? 30 : base[k - 10].level) << k;
    EXPECT_EQ(earlier[k].level, base[std::min(k + 10, base.size() - 1)].level) << k;
  }
}

struct Encoded {
  Result result = Result::kSuccess;
  test::MemoryOutput out;
  LXDecodeDetail detail;
  DecodedTrack track;
  Notes notes;
};

std::unique_ptr<Encoded> EncodeLX(const std::function<void(test::TrackBuilder&)>& song, LXMode mode,
                                  uint32_t rate, CPCMIn* accompaniment = nullptr) {
  test::MidiBuilder midi(0, 480);
  song(midi.AddTrack().Tempo(0, 500000));
  CSMF2MID reader;
  EXPECT_EQ(reader.OpenBuffer(midi.Build()), OpenResult::kOpened);
  auto e = std::make_unique<Encoded>();
  auto enc = std::make_unique<CMid2LX>();
  enc->SetMode(mode);
  enc->SetScramblerSeed(1);
  enc->SetSampleRate(rate);
  enc->SetOutput(&e->out);
  enc->SetAccompaniment(accompaniment);
  enc->SetSource(&reader);
  e->result = enc->Encode();
  e->track = DecodeLXDetailed(e->out.Right().data(), e->out.Size(), rate, e->detail);
  for (const auto& n : e->detail.notes)
    e->notes.emplace_back(n.block * 256 + n.tick, n.key, n.on, n.strike);
  return e;
}

// At 120 bpm and 480 per quarter, 6 MIDI ticks are 5 LX ticks.
TEST(LXRoundTripTest, NotesPedalsPacingAndAccompanimentInEveryModeAndRate) {
  const auto song = [](test::TrackBuilder& t) {
    t.NoteOn(2880, 0, 60, 46).NoteOn(0, 0, 21, 1).Control(60, 0, 64, 127);
    t.NoteOff(60, 0, 60).Control(0, 0, 66, 100).NoteOn(0, 0, 108, 127);
    t.NoteOn(0, 0, 109, 64).Control(240, 0, 66, 0).NoteOff(0, 0, 21);
    t.NoteOff(0, 0, 108).Control(0, 0, 64, 0).End();
  };
  // clang-format off
  // Leading silence dropped for a 200-tick lead-in; key 109 not sent, key 0 the sostenuto.
  const Notes notes{{200, 60, true, 128}, {200, 21, true, 298}, {300, 60, false, 0},
                    {300, 0, true, 0}, {300, 108, true, 30}, {500, 0, false, 0},
                    {500, 21, false, 0}, {500, 108, false, 0}};
  // Blocks 0 and 1 go out until the byte position (of the field itself, the
  // leader counted in LX mode only) passes the next multiple of 256.
  using Copies = std::vector<std::pair<int, int>>;  // block, position field
  const Copies lx{{0, 42}, {0, 121}, {0, 200}, {1, 279}, {1, 364}, {1, 449}};
  const Copies se{{0, 8}, {0, 79}, {0, 150}, {0, 221}, {1, 292}, {1, 369}, {1, 446}};
  // Check bytes of block 0's first copy: the decoder checks frames with CRCs of its own.
  const Bytes checks[3] = {{0xD8, 0xC9, 0x42, 0xA4}, {0xB0, 0x0B, 0xFA, 0x40},
                           {0x92, 0x6A, 0xB2, 0x9E}};
  // Sustain levels from slot 30 (tick 240), pressed at 250 and let up by 500; 0 elsewhere.
  const Bytes ramp{0x2F, 0x7E, 0xC1, 0xE3, 0xEB, 0xE5, 0xDB, 0xD2, 0xC9, 0xC2, 0xBA, 0xB1, 0xA9,
                   0xA1, 0x99, 0x91, 0x89, 0x81, 0x79, 0x70, 0x68, 0x60, 0x58, 0x50, 0x48, 0x40,
                   0x38, 0x2F, 0x27, 0x1F, 0x17, 0x0F, 0x08};
  // clang-format on
  for (const LXMode mode : {LX_MODE_LX, LX_MODE_SE_TAPE, LX_MODE_PIANOMATION1}) {
    for (const uint32_t rate : {44100u, 48000u}) {
      SCOPED_TRACE(testing::Message() << "mode " << mode << " at " << rate);
      const LXModeInfo& info = kLXModes[mode];
      const auto e = EncodeLX(song, mode, rate);
      ASSERT_EQ(e->result, Result::kSuccess);
      ASSERT_EQ(std::tuple(e->detail.mode, e->detail.leaderBytes, e->track.errors.size()),
                std::tuple(static_cast<int>(mode), info.leaderBytes, size_t{0}));
      EXPECT_EQ(e->notes, notes);
      const Bytes& first = e->detail.frames.at(0).bytes;
      EXPECT_EQ(Bytes(first.end() - 4, first.end()), checks[mode]);
      Copies copies;
      for (const auto& f : e->detail.frames)
        if (f.blockNumber < 2) copies.emplace_back(f.blockNumber, f.positionField);
      EXPECT_EQ(copies, mode == LX_MODE_LX ? lx : se);
      // The mode's closing blocks follow the music's two.
      ASSERT_EQ(e->detail.blocks.size(), mode == LX_MODE_PIANOMATION1 ? 10u : 6u);
      Bytes sustain, soft;
      for (const auto& b : e->detail.blocks) {
        sustain.insert(sustain.end(), b.sustain, b.sustain + 32);
        soft.insert(soft.end(), b.soft, b.soft + 16);
      }
      Bytes want(sustain.size(), 0);
      std::copy(ramp.begin(), ramp.end(), want.begin() + 30);
      EXPECT_EQ(sustain, want);
      EXPECT_EQ(soft, Bytes(soft.size(), 0));
      // Notes sound at their tick after the mode's latency; the signal starts at once.
      ASSERT_EQ(e->track.events.at(0).status, 0x90);
      EXPECT_NEAR(e->track.events[0].timeSeconds,
                  e->track.dataStartSeconds + info.accompanimentDelaySeconds + 0.25, 1e-9);
      EXPECT_NEAR(e->track.dataStartSeconds, 0.0, 1.0 / rate);
      // The left stays silent; one second of silence closes the track.
      const auto& right = e->out.Right();
      const auto zero = [](int16_t v) { return v == 0; };
      EXPECT_TRUE(std::all_of(e->out.Left().begin(), e->out.Left().end(), zero));
      EXPECT_TRUE(std::all_of(right.end() - rate, right.end(), zero));
      EXPECT_FALSE(std::all_of(right.end() - rate - 8, right.end() - rate, zero));

      // An accompaniment keeps the silence (no lead-in); it is delayed by the
      // latency, faded in and played out (5 s), plus a second.
      auto accomp = test::FakeAccompaniment::Mono(std::vector<int16_t>(rate * 5, 4000), rate);
      const auto with = EncodeLX(song, mode, rate, &accomp);
      const auto delay = static_cast<size_t>(info.accompanimentDelaySeconds * rate);
      EXPECT_EQ(std::tuple(std::get<0>(with->notes.at(0)), with->out.Left().at(delay + 1),
                           with->out.Size()),
                std::tuple(2400u, int16_t{10}, delay + rate * 6));
    }
  }
}

// 64 note-ons (3 bytes) and 64 note-offs (2) fill the queue: the 392-byte frame goes once; one more
// fails.
TEST(LXQueueTest, AFullQueueGoesOnceAndOverflowFails) {
  for (int extra : {0, 1}) {
    const auto e = EncodeLX(
        [&](test::TrackBuilder& t) {
          for (int k = 0; k < 64 + extra; ++k) t.NoteOn(0, 0, 21 + k, 64);
          for (int k = 0; k < 64 + extra; ++k) t.NoteOff(k ? 0 : 24, 0, 21 + k);
          t.End();
        },
        LX_MODE_LX, 44100);
    ASSERT_EQ(e->result, extra ? Result::kDataFormatError : Result::kSuccess);
    if (extra) continue;
    EXPECT_EQ(std::tuple(e->detail.frames.at(0).bytes.size(), e->detail.frames.at(1).blockNumber,
                         e->notes.size()),
              std::tuple(size_t{392}, uint16_t{1}, size_t{128}));
  }
}

// With a controller 16 at time 0 a note sounds once a controller 16 refines it
// (else the next note-on replaces it); key pressure 127 and 0 press and release silently.
TEST(LXQueueTest, FineVelocityNotes) {
  const auto e = EncodeLX(
      [](test::TrackBuilder& t) {
        t.Control(0, 0, 16, 0).NoteOn(0, 0, 60, 126).Control(0, 0, 16, 0);
        t.NoteOn(0, 0, 62, 90).NoteOn(0, 0, 64, 3).Control(0, 0, 16, 127);
        t.Raw(0, {0xA0, 65, 127}).Raw(60, {0xA0, 65, 0});
        t.NoteOff(0, 0, 60).NoteOff(0, 0, 64).End();
      },
      LX_MODE_LX, 48000);
  ASSERT_EQ(e->result, Result::kSuccess);
  // clang-format off
  EXPECT_EQ(e->notes, (Notes{{200, 60, true, 16}, {200, 64, true, 490}, {200, 65, true, 0},
                             {250, 65, false, 0}, {250, 60, false, 0}, {250, 64, false, 0}}));
  // clang-format on
}

}  // namespace
}  // namespace tonvelo
