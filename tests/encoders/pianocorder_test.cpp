#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "decoders/pianocorder_decoder.h"
#include "encoders/encoder_factory.h"
#include "encoders/pianocorder/frame_schedule.h"
#include "encoders/pianocorder/mid2pianocorder.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"

namespace tonvelo {
namespace {

using Frame = std::vector<uint8_t>;

std::string Hex(const uint8_t* f) {
  std::string s;
  char b[4];
  for (uint32_t i = 0; i < kFrameBytes; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", f[i]);
    s += b;
  }
  return s;
}

bool Flag(const uint8_t* f, int flag) { return (f[flag / 8] >> (7 - flag % 8)) & 1; }

std::vector<Frame> Frames(PianocorderState& s, int n) {
  std::vector<Frame> out(n, Frame(kFrameBytes));
  for (Frame& f : out) s.NextFrame(f.data());
  return out;
}

uint8_t VelocityFor(const PianocorderState& s, int level) {
  for (int v = 1; v < 128; ++v) {
    if (s.Level(static_cast<uint8_t>(v)) == level) return static_cast<uint8_t>(v);
  }
  ADD_FAILURE() << "no velocity for level " << level;
  return 0;
}

TEST(FrameScheduleTest, IdleFramesMarkersKeysAndLevels) {
  PianocorderState pc(kPianocorderSchedule);
  PianocorderState cc(kCassetteSchedule);
  auto ccFrames = Frames(cc, 3);
  EXPECT_EQ(Hex(Frames(pc, 1)[0].data()), "10 00 00 00 00 00 00 00 10 00 00 00 00 00 00 FD");
  EXPECT_EQ(Hex(ccFrames[0].data()), "20 00 80 00 00 00 00 00 00 00 00 00 08 00 00 0D");
  EXPECT_EQ(Hex(ccFrames[1].data()), "20 00 80 00 00 00 00 00 00 00 00 00 08 00 00 72");
  EXPECT_EQ(ccFrames[2], ccFrames[0]);
  cc.Reset();
  EXPECT_EQ(Frames(cc, 1)[0], ccFrames[0]);  // the marker starts over

  // note -> key flag (-1: not played)
  const std::vector<std::tuple<const PianocorderState*, int, int>> keys{
      {&pc, 24, -1}, {&pc, 25, 16}, {&pc, 64, 55}, {&pc, 65, 72}, {&pc, 104, 111}, {&pc, 105, -1},
      {&cc, 22, -1}, {&cc, 23, 17}, {&cc, 64, 58}, {&cc, 65, 59}, {&cc, 105, 99},  {&cc, 106, -1}};
  for (const auto& [s, note, flag] : keys) {
    EXPECT_EQ(s->KeyFlag(static_cast<uint8_t>(note)), flag) << note;
  }

  // profile range, velocity -> level
  const std::vector<std::tuple<PianocorderState*, int, int, std::vector<std::pair<int, int>>>>
      levels{
          {&pc, 1, 127, {{1, 0}, {2, 0}, {64, 6}, {100, 19}, {126, 30}, {127, 31}}},
          {&pc, 25, 95, {{25, 0}, {26, 0}, {60, 6}, {94, 30}, {95, 31}, {127, 31}}},
          {&cc, 1, 127, {{1, 1}, {30, 2}, {64, 4}, {110, 6}, {127, 7}}},
          {&cc, 25, 95, {{25, 1}, {26, 1}, {60, 4}, {95, 7}}},
      };
  for (const auto& [s, lo, hi, rows] : levels) {
    s->BuildLevelTable(lo, hi);
    for (const auto& [v, level] : rows) {
      EXPECT_EQ(s->Level(static_cast<uint8_t>(v)), level) << lo << ".." << hi << " v" << v;
    }
  }
}

// A repeat of note 65 (flag 72, struck at bit 0: lead shift 2) with its
// earlier stroke, also at level 10 (attack 2), `gap` frames before it. The
// ring is read back from the head: level per slot, -1 off.
TEST(FrameScheduleTest, RepeatedNoteGivesUpLeadBeforeLoudness) {
  const std::vector<std::pair<int, std::vector<int>>> cases{
      // 3 frames apart: shift 1 clears the earlier attack, levels stay.
      {3, {-1, -1, 10, 10, -1, -1, 10, 10, 10}},
      // 1 frame apart: shift 0 is not enough, the earlier stroke is raised
      // to level 27, the first with a shorter attack.
      {1, {-1, -1, -1, -1, 27, -1, -1, 10, 10}},
  };
  for (const auto& [apart, expect] : cases) {
    PianocorderState s(kPianocorderSchedule);
    const uint8_t v = VelocityFor(s, 10);
    s.Note(65, v);
    Frames(s, apart);
    s.Note(65, v);
    std::vector<int> got;
    for (uint32_t i = 0; i <= 8; ++i) got.push_back(s.At(i, 72).level);
    EXPECT_EQ(got, expect) << apart;
  }
}

TEST(FrameScheduleTest, ReleasesPedalsHoldLimitsAndSplitBits) {
  PianocorderState s(kPianocorderSchedule);
  // Note 25 at bit 100 has no lead shift: level 0 (attack 4) fills slots 5-8;
  // released at once, it stays down through slot 8 and is up from slot 9.
  s.SetBitPosition(100);
  s.Note(25, 1);
  s.Note(25, 0);
  // A sustain press released before the next frame is dropped; so is a
  // short soft press, but for the head slot, which its long lead reached.
  s.Pedal(kPedalSustain, 127);
  s.Pedal(kPedalSustain, 0);
  s.Pedal(kPedalSoft, 127);
  s.Pedal(kPedalSoft, 0);
  std::string keys, sustain, soft;
  for (const Frame& f : Frames(s, 11)) {
    keys += Flag(f.data(), 16) ? 'X' : '.';
    sustain += Flag(f.data(), 1) ? 'X' : '.';
    soft += Flag(f.data(), 0) ? 'X' : '.';
  }
  EXPECT_EQ(keys, ".....XXXX..");
  EXPECT_EQ(sustain, "...........");
  EXPECT_EQ(soft, "X..........");

  // Held without release: down for exactly the hold limit.
  for (const auto& [params, note, pedal, limit] : {std::tuple{&kPianocorderSchedule, 60, -1, 1582},
                                                   {&kPianocorderSchedule, 0, 1, 2637},
                                                   {&kCassetteSchedule, 60, -1, 4500},
                                                   {&kCassetteSchedule, 0, 1, 4500}}) {
    PianocorderState h(*params);
    const int flag = pedal < 0 ? h.KeyFlag(static_cast<uint8_t>(note)) : params->sustainFlag;
    if (pedal < 0) {
      h.Note(static_cast<uint8_t>(note), 100);
    } else {
      h.Pedal(pedal, 127);
    }
    int on = 0;
    for (const Frame& f : Frames(h, limit + 100)) on += Flag(f.data(), flag);
    EXPECT_EQ(on, limit) << note << " " << pedal;
  }

  // Split bits at the onset frame (slot 6: attack 2, shift 1 at bit 64).
  struct Split {
    std::vector<std::pair<int, int>> notes;  // note, level
    const char* frame;
  };
  const std::vector<Split> splits{
      {{{64, 20}}, "05 00 00 00 00 00 01 00 10 00 00 00 00 00 00 FD"},
      {{{64, 9}, {25, 25}, {65, 9}}, "11 00 80 00 00 00 01 00 92 80 00 00 00 00 00 FD"},
      {{{64, 10}, {65, 10}, {66, 10}, {104, 25}},
       "0A 00 00 00 00 00 01 00 5E C0 00 00 00 01 00 FD"},
  };
  for (const Split& c : splits) {
    PianocorderState p(kPianocorderSchedule);
    p.SetBitPosition(64);
    for (const auto& [note, level] : c.notes)
      p.Note(static_cast<uint8_t>(note), VelocityFor(p, level));
    EXPECT_EQ(Hex(Frames(p, 7)[6].data()), c.frame);
  }
}

// Encoder runs: a few notes over both halves of the keyboard, with pedals.
void Song(test::FakeReader& r) {
  r.Control(0, 0, 64, 100).NoteOn(0, 0, 24, 90).NoteOn(0, 0, 40, 70).NoteOn(240, 0, 72, 110);
  r.NoteOff(240, 0, 40).NoteOn(0, 0, 105, 60).Control(120, 0, 64, 0).NoteOn(200, 0, 90, 30);
  r.NoteOff(480, 0, 72).NoteOff(0, 0, 90).NoteOn(240, 0, 64, 80).NoteOn(0, 0, 65, 80);
  r.NoteOff(480, 0, 64).NoteOff(0, 0, 65).EndOfTrack(0);
}

struct Encoded {
  Result result;
  std::unique_ptr<test::MemoryOutput> out;
};

Encoded Encode(int id, uint32_t rate, const PianocorderFile* file = nullptr,
               size_t damagedAt = SIZE_MAX) {
  test::FakeReader src;
  Song(src);
  src.SetDamagedAt(damagedAt);
  Encoded run{Result::kSuccess, std::make_unique<test::MemoryOutput>()};
  EncoderOptions options;
  options.pianocorderFile = file;
  auto enc = CreateEncoder(id, options);
  EXPECT_EQ(run.out->Open("", rate, "", "", false, id == 3), AudioResult::kOk);
  enc->SetSampleRate(rate);
  enc->SetOutput(run.out.get());
  enc->SetSource(&src);
  run.result = enc->Encode();
  return run;
}

TEST(FrameEncoderTest, HalfSpeedDoublesAndAmpicoVariantsAgree) {
  const Encoded normal = Encode(2, 44100);
  const Encoded half = Encode(3, 44100);
  ASSERT_EQ(half.out->Size(), 2 * normal.out->Size());
  for (size_t i = 0; i < normal.out->Size(); ++i) {
    ASSERT_EQ(half.out->Right()[2 * i], normal.out->Right()[i]);
    ASSERT_EQ(half.out->Right()[2 * i + 1], normal.out->Right()[i]);
  }
  const Encoded a = Encode(10, 48000);
  const Encoded b = Encode(11, 48000);
  EXPECT_EQ(a.out->Left(), b.out->Left());
  EXPECT_GT(a.out->Size(), 48000u * 3);

  // Failures end the encode with their code.
  EXPECT_EQ(Encode(10, 44100, nullptr, 3).result, Result::kSourceDamaged);
}

// Round trip through the decoder: each played note goes down in the frames
// within the scheduler's lead after its time (music time 0 at 0.79 s).
class RoundTripTest : public testing::TestWithParam<std::tuple<int, uint32_t>> {};

TEST_P(RoundTripTest, KeysGoDownWithinTheLead) {
  const auto [id, rate] = GetParam();
  const Encoded run = Encode(id, rate);
  ASSERT_EQ(run.result, Result::kSuccess);
  const bool cassette = id >= 10;
  const double speed = id == 3 ? 2.0 : 1.0;
  const std::vector<int16_t>& data = cassette ? run.out->Left() : run.out->Right();
  DecodedFrames frames;
  const DecodedTrack t = cassette ? DecodeCassetteConverter(data.data(), data.size(), rate, &frames)
                                  : DecodePianocorder(data.data(), data.size(), rate, &frames);
  EXPECT_EQ(t.formatId, cassette ? 10 : id);
  EXPECT_TRUE(t.errors.empty());
  const double frame = speed * (cassette ? 0.01 : 128.0 / 4500.0);
  // Lead in frames: now slot minus the longest and the shortest attack window.
  const double lo = cassette ? 17.5 : 1.5;
  const double hi = cassette ? 30.5 : 8.5;
  EXPECT_NEAR(frames.frames.size() * frame, static_cast<double>(data.size()) / rate - speed,
              2 * frame);

  // note, time in seconds (480 ticks a quarter at 120 bpm)
  std::vector<std::pair<int, double>> expect{
      {40, 0.0}, {64, 1.5833}, {65, 1.5833}, {72, 0.25}, {90, 0.8333}};
  if (cassette) expect.insert(expect.begin(), {24, 0.0});
  if (cassette) expect.push_back({105, 0.5});
  std::vector<std::pair<int, double>> got;
  for (const DecodedEvent& e : t.events) {
    if (e.status == 0x90) got.push_back({e.data1, e.timeSeconds});
  }
  std::sort(got.begin(), got.end());
  ASSERT_EQ(got.size(), expect.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, expect[i].first);
    const double lead = (got[i].second / speed - 0.79 - expect[i].second) / (frame / speed);
    EXPECT_TRUE(lead >= lo && lead <= hi) << got[i].first << " lead " << lead << " frames";
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, RoundTripTest,
                         testing::Combine(testing::Values(2, 3, 10),
                                          testing::Values(44100u, 48000u)));

// A data file replays frame for frame after its one-second glide to the
// recorded speed, and reads back as the same frames.
TEST(PianocorderReplayTest, FramesComeBackAtTheRecordedSpeed) {
  for (uint16_t speed : {3900, 5100}) {
    PianocorderFile file;
    file.speed = speed;
    for (uint32_t i = 0; i < 200; ++i) {
      uint8_t f[kFrameBytes] = {0x50, 0,    static_cast<uint8_t>(i),     0, 0, 0, 0,
                                0,    0x10, static_cast<uint8_t>(i * 7), 0, 0, 0, 0,
                                0,    0xFD};
      file.frames.insert(file.frames.end(), f, f + kFrameBytes);
    }
    file.frameCount = 200;
    const Encoded run = Encode(2, 44100, &file);
    ASSERT_EQ(run.result, Result::kSuccess);
    DecodedFrames got;
    const DecodedTrack t = DecodePianocorder(run.out->Right().data(), run.out->Size(), 44100, &got);
    EXPECT_TRUE(t.errors.empty());
    std::vector<uint8_t> bytes;
    for (const DecodedFrame& f : got.frames) bytes.insert(bytes.end(), f.bytes, f.bytes + 16);
    auto at = std::search(bytes.begin(), bytes.end(), file.frames.begin(), file.frames.end());
    ASSERT_NE(at, bytes.end()) << speed;
    const auto before = static_cast<size_t>(at - bytes.begin()) / kFrameBytes;
    // Idle frames before (keys and pedals up, loudness kept) for one second.
    EXPECT_EQ(Hex(got.frames[0].bytes), "10 00 00 00 00 00 00 00 10 00 00 00 00 00 00 FD");
    EXPECT_NEAR(got.frames[before].timeSeconds, 1.0, 0.03);
    // After the glide the frames run at the recorded speed (limited to 4000).
    const double measured =
        (got.frames[before + 199].timeSeconds - got.frames[before].timeSeconds) / 199;
    EXPECT_NEAR(128.0 / measured, speed < 4000 ? 4030 : speed, 30) << speed;

    // Written back as a data file, the decoded frames load as they were read.
    const auto path = std::filesystem::temp_directory_path() / "tonvelo_replay_test.pc";
    ASSERT_TRUE(WritePianocorderFrames(path, got));
    PianocorderSource again;
    ASSERT_EQ(LoadPianocorderSource(path, again), OpenResult::kOpened);
    std::filesystem::remove(path);
    EXPECT_EQ(again->frames, bytes);
    EXPECT_NEAR(again->speed, 128.0 / measured, 30);
  }
}

}  // namespace
}  // namespace tonvelo
