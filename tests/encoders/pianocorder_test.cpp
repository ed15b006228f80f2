#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "decoders/pianocorder_decoder.h"
#include "encoders/encoder_factory.h"
#include "encoders/pianocorder/frame_schedule.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"

namespace tonvelo {
namespace {

using Frame = std::vector<uint8_t>;
using Levels = std::vector<std::pair<int, int>>;  // velocity or note, level
const char* const kIdle = "10 00 00 00 00 00 00 00 10 00 00 00 00 00 00 FD";

std::string Hex(const uint8_t* f) {
  char b[3 * kFrameBytes + 1];
  for (uint32_t i = 0; i < kFrameBytes; ++i) std::snprintf(b + 3 * i, 4, "%02X ", f[i]);
  return std::string(b, 3 * kFrameBytes - 1);
}

bool Flag(const Frame& f, int flag) { return (f[flag / 8] >> (7 - flag % 8)) & 1; }

std::vector<Frame> Frames(PianocorderState& s, int n) {
  std::vector<Frame> out(n, Frame(kFrameBytes));
  for (Frame& f : out) s.NextFrame(f.data());
  return out;
}

// Strikes each note at the first velocity that gives its level.
void Strike(PianocorderState& s, const Levels& notes) {
  for (const auto& [note, level] : notes) {
    uint8_t v = 1;
    while (v < 127 && s.Level(v) != level) ++v;
    s.Note(static_cast<uint8_t>(note), v);
  }
}

TEST(FrameScheduleTest, IdleFramesMarkersKeysAndLevels) {
  PianocorderState pc(kPianocorderSchedule), cc(kCassetteSchedule);
  const auto ccFrames = Frames(cc, 3);
  EXPECT_EQ(Hex(Frames(pc, 1)[0].data()), kIdle);
  EXPECT_EQ(Hex(ccFrames[0].data()), "20 00 80 00 00 00 00 00 00 00 00 00 08 00 00 0D");
  EXPECT_EQ(Hex(ccFrames[1].data()), "20 00 80 00 00 00 00 00 00 00 00 00 08 00 00 72");
  EXPECT_EQ(ccFrames[2], ccFrames[0]);
  cc.Reset();
  EXPECT_EQ(Frames(cc, 1)[0], ccFrames[0]);  // the marker starts over
  // clang-format off
  // note -> key flag (-1: not played)
  for (const auto& [s, note, flag] : std::vector<std::tuple<const PianocorderState*, int, int>>{
      {&pc, 24, -1}, {&pc, 25, 16}, {&pc, 64, 55}, {&pc, 65, 72}, {&pc, 104, 111}, {&pc, 105, -1},
      {&cc, 22, -1}, {&cc, 23, 17}, {&cc, 64, 58}, {&cc, 65, 59}, {&cc, 105, 99},  {&cc, 106, -1}})
    EXPECT_EQ(s->KeyFlag(static_cast<uint8_t>(note)), flag) << note;
  // profile range -> velocity, level
  for (const auto& [s, lo, hi, rows] : std::vector<std::tuple<PianocorderState*, int, int, Levels>>{
      {&pc, 1, 127, {{1, 0}, {2, 0}, {64, 6}, {100, 19}, {126, 30}, {127, 31}}},
      {&pc, 25, 95, {{25, 0}, {26, 0}, {60, 6}, {94, 30}, {95, 31}, {127, 31}}},
      {&cc, 1, 127, {{1, 1}, {30, 2}, {64, 4}, {110, 6}, {127, 7}}},
      {&cc, 25, 95, {{25, 1}, {26, 1}, {60, 4}, {95, 7}}}}) {
    s->BuildLevelTable(lo, hi);
    for (const auto& [v, level] : rows) EXPECT_EQ(s->Level(uint8_t(v)), level) << lo << " " << v;
  }
  // clang-format on
}

// Note 65 (flag 72, struck at bit 0: lead shift 2) at level 10 (attack 2)
// again 3 or 1 frames later, the ring's levels read from the head: 3 apart,
// shift 1 clears the earlier attack; 1 apart, the earlier stroke is raised to
// level 27, the first with a shorter attack.
TEST(FrameScheduleTest, RepeatedNoteGivesUpLeadBeforeLoudness) {
  for (const auto& [apart, expect] : {std::pair{3, std::vector{-1, -1, 10, 10, -1, -1, 10, 10, 10}},
                                      {1, std::vector{-1, -1, -1, -1, 27, -1, -1, 10, 10}}}) {
    PianocorderState s(kPianocorderSchedule);
    Strike(s, {{65, 10}});
    Frames(s, apart);
    Strike(s, {{65, 10}});
    std::vector<int> got;
    for (uint32_t i = 0; i <= 8; ++i) got.push_back(s.At(i, 72).level);
    EXPECT_EQ(got, expect) << apart;
  }
}

TEST(FrameScheduleTest, ReleasesPedalsHoldLimitsAndSplitBits) {
  // Note 25 at bit 100 (no lead shift, level 0: attack 4) released at once is
  // down in slots 5-8. A sustain press released before the next frame is
  // dropped; so is a short soft press, but for the head slot its lead reached.
  PianocorderState s(kPianocorderSchedule);
  s.SetBitPosition(100);
  s.Note(25, 1);
  s.Note(25, 0);
  for (const int pedal : {kPedalSustain, kPedalSoft}) s.Pedal(pedal, 127), s.Pedal(pedal, 0);
  std::string flags[3];  // key, sustain, soft
  for (const Frame& f : Frames(s, 11))
    for (int i = 0; i < 3; ++i) flags[i] += Flag(f, i == 0 ? 16 : 2 - i) ? 'X' : '.';
  EXPECT_EQ(flags[0] + " " + flags[1] + " " + flags[2], ".....XXXX.. ........... X..........");

  // Held without release (note -1: the sustain pedal): down for exactly the hold limit.
  // clang-format off
  for (const auto& [params, note, limit] :
       {std::tuple{&kPianocorderSchedule, 60, 1582}, {&kPianocorderSchedule, -1, 2637},
        {&kCassetteSchedule, 60, 4500}, {&kCassetteSchedule, -1, 4500}}) {
    // clang-format on
    PianocorderState h(*params);
    note < 0 ? h.Pedal(kPedalSustain, 127) : h.Note(static_cast<uint8_t>(note), 100);
    const int flag = note < 0 ? params->sustainFlag : h.KeyFlag(static_cast<uint8_t>(note));
    int on = 0;
    for (const Frame& f : Frames(h, limit + 100)) on += Flag(f, flag);
    EXPECT_EQ(on, limit) << note;
  }

  // Split bits at the onset frame (slot 6: attack 2, shift 1 at bit 64).
  // clang-format off
  for (const auto& [notes, frame] : std::vector<std::pair<Levels, const char*>>{
      {{{64, 20}}, "05 00 00 00 00 00 01 00 10 00 00 00 00 00 00 FD"},
      {{{64, 9}, {25, 25}, {65, 9}}, "11 00 80 00 00 00 01 00 92 80 00 00 00 00 00 FD"},
      {{{64, 10}, {65, 10}, {66, 10}, {104, 25}},
       "0A 00 00 00 00 00 01 00 5E C0 00 00 00 01 00 FD"}}) {
    // clang-format on
    PianocorderState p(kPianocorderSchedule);
    p.SetBitPosition(64);
    Strike(p, notes);
    EXPECT_EQ(Hex(Frames(p, 7)[6].data()), frame);
  }
}

struct Encoded {
  Result result;
  test::MemoryOutput out;
  DecodedTrack track;
  DecodedFrames frames;
};

// A few notes over both halves of the keyboard, with pedals; encoded and read back.
std::unique_ptr<Encoded> Encode(int id, uint32_t rate, const PianocorderFile* file = nullptr,
                                size_t damagedAt = SIZE_MAX) {
  test::FakeReader r;
  r.Control(0, 0, 64, 100).NoteOn(0, 0, 24, 90).NoteOn(0, 0, 40, 70).NoteOn(240, 0, 72, 110);
  r.NoteOff(240, 0, 40).NoteOn(0, 0, 105, 60).Control(120, 0, 64, 0).NoteOn(200, 0, 90, 30);
  r.NoteOff(480, 0, 72).NoteOff(0, 0, 90).NoteOn(240, 0, 64, 80).NoteOn(0, 0, 65, 80);
  r.NoteOff(480, 0, 64).NoteOff(0, 0, 65).EndOfTrack(0);
  r.SetDamagedAt(damagedAt);
  auto e = std::make_unique<Encoded>();
  EncoderOptions options;
  options.pianocorderFile = file;
  auto enc = CreateEncoder(id, options);
  EXPECT_EQ(e->out.Open("", rate, "", "", false, id == 3), AudioResult::kOk);
  enc->SetSampleRate(rate);
  enc->SetOutput(&e->out);
  enc->SetSource(&r);
  e->result = enc->Encode();
  const std::vector<int16_t>& data = id >= 10 ? e->out.Left() : e->out.Right();
  e->track = id >= 10 ? DecodeCassetteConverter(data.data(), data.size(), rate, &e->frames)
                      : DecodePianocorder(data.data(), data.size(), rate, &e->frames);
  return e;
}

TEST(FrameEncoderTest, LeadInHalfSpeedAmpicoTwinsAndDamage) {
  const auto normal = Encode(2, 44100), half = Encode(3, 44100);
  const auto a = Encode(10, 48000), b = Encode(11, 48000);
  // Half speed doubles every sample; the Ampico twins send the same signal.
  ASSERT_EQ(half->out.Size(), 2 * normal->out.Size());
  for (size_t i = 0; i < 2 * normal->out.Size(); ++i)
    ASSERT_EQ(half->out.Right()[i], normal->out.Right()[i / 2]) << i;
  EXPECT_EQ(a->out.Left(), b->out.Left());
  // Each key goes down within the lead (now slot less the longest and the shortest attack) after
  // its time, music time 0 lying 0.79 s in; a second of silence closes the track.
  const std::map<int, double> when{{24, 0},    {40, 0},      {64, 1.5833}, {65, 1.5833},
                                   {72, 0.25}, {90, 0.8333}, {105, 0.5}};
  // clang-format off
  for (const auto& [e, rate, frame, lo, hi, keys] :  // 24 and 105 only on the cassette's keyboard
       {std::tuple{normal.get(), 44100, 128.0 / 4500, 1.5, 8.5, std::vector{40, 64, 65, 72, 90}},
        {a.get(), 48000, 0.01, 17.5, 30.5, std::vector{24, 40, 64, 65, 72, 90, 105}}}) {
    // clang-format on
    ASSERT_TRUE(e->result == Result::kSuccess && e->track.errors.empty());
    EXPECT_NEAR(e->frames.frames.size() * frame, e->out.Size() / double(rate) - 1, 2 * frame);
    std::vector<int> got;
    for (const DecodedEvent& ev : e->track.events) {
      if (ev.status != 0x90) continue;
      got.push_back(ev.data1);
      if (!when.count(ev.data1)) continue;
      const double lead = (ev.timeSeconds - 0.79 - when.at(ev.data1)) / frame;
      EXPECT_TRUE(lead >= lo && lead <= hi) << ev.data1 << " lead " << lead << " frames";
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, keys);
  }
  EXPECT_EQ(Encode(10, 44100, nullptr, 3)->result, Result::kSourceDamaged);
}

// A data file replays frame for frame after idle frames (keys and pedals up,
// loudness kept) and a one-second glide to the recorded speed (at least 4030).
TEST(PianocorderReplayTest, FramesComeBackAtTheRecordedSpeed) {
  for (uint16_t speed : {3900, 5100}) {
    PianocorderFile file;
    file.frameCount = 200;
    file.speed = speed;
    for (uint8_t i = 1; i <= 200;
         ++i)  // keys down in the first frame too: the idle frames lift them
      file.frames.insert(file.frames.end(),
                         {0x50, 0, i, 0, 0, 0, 0, 0, 0x10, uint8_t(i * 7), 0, 0, 0, 0, 0, 0xFD});
    const auto e = Encode(2, 44100, &file);
    std::vector<uint8_t> bytes;
    for (const DecodedFrame& f : e->frames.frames) bytes.insert(bytes.end(), f.bytes, f.bytes + 16);
    const auto at = std::search(bytes.begin(), bytes.end(), file.frames.begin(), file.frames.end());
    ASSERT_TRUE(e->result == Result::kSuccess && e->track.errors.empty() && at != bytes.end());
    const DecodedFrame* first = &e->frames.frames[static_cast<size_t>(at - bytes.begin()) / 16];
    EXPECT_EQ(Hex(e->frames.frames.at(0).bytes), kIdle);
    EXPECT_NEAR(first->timeSeconds, 1.0, 0.03);
    const double measured = (first[199].timeSeconds - first->timeSeconds) / 199;
    EXPECT_NEAR(128.0 / measured, std::max(4030, int{speed}), 30) << speed;
  }
}

}  // namespace
}  // namespace tonvelo
