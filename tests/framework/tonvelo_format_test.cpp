// The encoder framework: titles, progress, the accompaniment, the scheduler, pedal channels.

#include "framework/tonvelo_format.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/fake_accompaniment.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/recording_events.h"

namespace tonvelo {
namespace {

using test::FakeAccompaniment;
using test::FakeReader;
using Positions = std::vector<uint32_t>;
using Progress = std::vector<unsigned>;

// A minimal encoder: each Advance produces `unitFrames` frames of signal.
class ProbeFormat : public CTonveloFormat {
 public:
  explicit ProbeFormat(FakeReader* r = nullptr, uint32_t rate = 44100, uint32_t unit = 10)
      : unitFrames(unit) {
    SetSampleRate(rate);
    SetNotifyWindow(&events);
    SetSource(r);
    SetCancelFlag(&cancel);
  }
  Result Encode() override { return Result::kSuccess; }
  Result Advance() override {
    if (++advances == failAtAdvance) return Result::kWriteError;
    if (advances == cancelAtAdvance) cancel = 1;
    position += unitFrames;
    return Result::kSuccess;
  }
  uint32_t GetPosition() override { return position; }
  using CTonveloFormat::DataChannel, CTonveloFormat::IsAccompanimentFinished,
      CTonveloFormat::NextEvent, CTonveloFormat::PostProgress,
      CTonveloFormat::SetAccompanimentDelay, CTonveloFormat::SetDataChannel,
      CTonveloFormat::WriteData, CTonveloFormat::WriteSilence;

  // Fetches every event; the position at which each was released.
  Positions Run(Result& last) {
    Positions at;
    MusicEvent ev;
    while ((last = NextEvent(ev)) == Result::kSuccess) at.push_back(position);
    return at;
  }

  test::RecordingEvents events;
  CancelFlag cancel{0};
  uint32_t unitFrames, position = 0;
  int advances = 0, failAtAdvance = -1, cancelAtAdvance = -1;
};

TEST(TonveloFormat, SecondsToSamplesTitlesAndProgress) {
  ProbeFormat f;
  EXPECT_EQ(f.GetAccompanimentDelay(), 44100u);  // one second by default
  f.SetSampleRate(10);  // rounded half up; the encoder tests check their own lead times
  EXPECT_EQ(std::tuple(f.SecondsToSamples(0.25), f.SecondsToSamples(0.24)), std::tuple(3u, 2u));
  f.SetAccompanimentDelay(0.5);
  EXPECT_EQ(f.GetAccompanimentDelay(), 5u);
  // Track numbers and characters outside printable ASCII go; at most 511 bytes stay.
  for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"07))   Song 2", "Song 2"}, {"0123", ""}, {"(1) Intro", "(1) Intro"},
           {"Caf\xC3\xA9\tx~", "Cafx~"}, {std::string(600, 'x'), std::string(511, 'x')}}) {
    f.SetTitle("previous title, longer");
    f.SetTitle(in);
    EXPECT_EQ(std::string(f.GetTitle(), kTitleBytes), out.append(kTitleBytes - out.size(), '\0'));
  }
  for (uint32_t p : {0, 100, 100, 5, 5, 6}) f.PostProgress(p);
  EXPECT_EQ(f.events.progress, (Progress{0, 100, 5, 6}));
}

// The accompaniment frame by frame: delay, fold (or left alone), 400-frame fades, end, failure.
struct FrameByFrame {
  std::vector<PcmFrame> frames;
  bool leftOnly;
  uint32_t delay, failFrom, read = 0;
  bool failed = false;

  int16_t Next() {
    if (delay > 0) return --delay, 0;
    const auto n = static_cast<uint32_t>(frames.size());
    if (failed || read >= n) return 0;
    if (read >= failFrom) return failed = true, 0;
    const int s = leftOnly ? frames[read].left : (frames[read].left + frames[read].right) / 2;
    const uint32_t k = read++, weight = k < 400 ? k : std::min(n - k, 400u);
    return static_cast<int16_t>(s * static_cast<double>(weight) / 400.0);
  }
};

// Stretches of data and silence against delays, fades, ends and failures across block edges.
TEST(Accompaniment, BlocksMixExactlyAsFrameByFrame) {
  constexpr uint32_t B = kBlockFrames, kNone = UINT32_MAX;
  // clang-format off
  const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, bool, bool> cases[] = {
    // length      ch delay      fail from  data left doubled
    {3 * B,        2, B - 200,   kNone,     false,    false},  // fade-in across an edge
    {2 * B + 200,  2, 0,         kNone,     true,     false},  // fade-out across an edge
    {B + 17,       1, 2 * B + 5, kNone,     false,    true},   // delay past a block, ends in one
    {5000,         2, 3,         B + 100,   true,     false},  // read fails inside a block
    {1000,         1, 3,         450,       false,    false},  // mono read fails in the first block
    {700,          1, B,         kNone,     false,    true},   // overlapping fades
    {2 * B,        2, 1,         kNone,     false,    false},  // anti-phase: right is -left
    {0,            0, 5,         kNone,     true,     false},  // no accompaniment at all
  };
  // clang-format on
  const uint32_t stretches[] = {1, 37, B, B + 1, 5, 3 * B - 9, 400, 2 * B, 123};
  for (size_t c = 0; c < std::size(cases); ++c) {
    const auto [length, channels, delay, failFrom, dataLeft, doubled] = cases[c];
    const bool anti = c == 6;
    std::vector<PcmFrame> frames(length);
    for (uint32_t k = 0; k < length; ++k) {
      const auto l = static_cast<int16_t>((k * 7919) % 60001 - 30000);
      frames[k] = {l, static_cast<int16_t>(anti ? -l : (k * 104729) % 50001 - 25000)};
    }
    if (!anti && length > 502) frames[501] = {32767, 32767}, frames[502] = {-32768, -32768};
    FakeAccompaniment acc(frames, channels);
    acc.FailReadsFrom(failFrom);
    test::MemoryOutput out;
    ASSERT_EQ(out.Open("", 44100, "", "", false, doubled), AudioResult::kOk);
    ProbeFormat f;
    f.SetOutput(&out);
    f.SetDataChannel(dataLeft ? ProbeFormat::DataChannel::kLeft : ProbeFormat::DataChannel::kRight);
    if (channels > 0) f.SetAccompaniment(&acc);
    f.SetAccompanimentDelay(delay / 44100.0);
    ASSERT_EQ(f.GetAccompanimentDelay(), delay);
    EXPECT_EQ(f.IsAntiPhase(), anti);
    EXPECT_EQ(acc.RewindCount(), channels == 2 ? 1 : 0);  // only stereo is scanned first

    FrameByFrame ref{frames, channels == 1 || anti, delay, failFrom};
    std::vector<int16_t> wantData, wantAcc;
    const int copies = doubled ? 2 : 1;
    int16_t next = 0;
    for (size_t i = 0; i < std::size(stretches); ++i) {
      std::vector<int16_t> data(stretches[i]);
      for (int16_t& d : data) d = i % 3 == 2 ? 0 : next++;
      ASSERT_EQ(i % 3 == 2 ? f.WriteSilence(stretches[i])
                           : f.WriteData(data.data(), static_cast<uint32_t>(data.size())),
                Result::kSuccess);
      for (int16_t d : data) {
        wantData.insert(wantData.end(), copies, d);
        wantAcc.insert(wantAcc.end(), copies, ref.Next());
      }
      EXPECT_EQ(f.IsAccompanimentFinished(), ref.failed || ref.read >= length) << c;
    }
    EXPECT_EQ(out.GetFrameCount() * copies, out.Size()) << c;
    EXPECT_EQ(dataLeft ? out.Left() : out.Right(), wantData) << c;
    EXPECT_EQ(dataLeft ? out.Right() : out.Left(), wantAcc) << c;
  }
}

// Left alone when more than a fifth of the frames cancel: |L + R| below |L / 3| and |R / 3|.
TEST(Accompaniment, AntiPhaseNeedsMoreThanAFifthOfTheFramesCancelling) {
  for (int cancelling : {200, 201}) {
    std::vector<PcmFrame> mix(1000, PcmFrame{0, 0});  // silence does not count
    for (int k = 0; k < cancelling; ++k) mix[k] = {3000, -2300};  // 700 < 766 < 1000
    if (cancelling == 200) mix[998] = {-4000, 3000}, mix[999] = {3000, -4000};  // |L + R| = a third
    FakeAccompaniment a(mix, 2);
    ProbeFormat f;
    f.SetAccompaniment(&a);
    EXPECT_EQ(f.IsAntiPhase(), cancelling == 201);
  }
}

// Leading silence and meta time go, End of Track time never counts; release half a unit early.
TEST(Scheduler, ReleaseTimes) {
  FakeReader r;  // 480 ticks a quarter at 120 BPM: 480 ticks = 22050 frames
  r.Meta(0, 0x03, {'x'}).Meta(960, 0x58, {4, 2, 24, 8});
  r.NoteOn(2880, 0, 60, 100).NoteOff(480, 0, 60).EndOfTrack(4800);
  Result last;
  // Unit 10, half unit 5: released once position + 5 >= 22050.
  EXPECT_EQ(ProbeFormat(&r).Run(last), (Positions{0, 0, 0, 22050, 22050}));
  EXPECT_EQ(last, Result::kEndOfEvents);

  // 44100 ticks per quarter at 1 s per quarter: one tick per frame; unit 14, half unit 7.
  for (auto [ticks, expected] : {std::pair{91u, 84u}, std::pair{95u, 98u}, std::pair{98u, 98u}}) {
    FakeReader one(44100);
    one.NoteOn(0, 0, 60, 1).Channel(ticks, 0x80, {60, 0}, 1000000);
    EXPECT_EQ(ProbeFormat(&one, 44100, 14).Run(last).back(), expected) << ticks;
  }
  // The half unit is taken at the first Advance: what events at time zero sent counts into it.
  FakeReader two(44100);
  two.NoteOn(0, 0, 60, 1).NoteOn(0, 0, 64, 1).Channel(1000, 0x80, {60, 0}, 1000000);
  two.Channel(1000, 0x80, {64, 0}, 1000000);
  ProbeFormat f(&two, 44100, 14);
  MusicEvent ev;
  Positions at;
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(f.NextEvent(ev), Result::kSuccess);
    at.push_back(f.position);
    if (k < 2) f.position += 84;  // the encoder sends two notes' worth
  }
  // First Advance 168 -> 182, half unit 91: 910 >= 1000 - 91, 1918 >= 2000 - 91.
  EXPECT_EQ(at, (Positions{0, 84, 910, 1918}));
}

TEST(Scheduler, ErrorCodesAndProgress) {
  FakeReader notes, gap;
  notes.NoteOn(0, 0, 60, 1).NoteOff(480, 0, 60).NoteOn(480, 0, 62, 1).NoteOff(480, 0, 62);
  // Day-long gaps: the wait stays cancellable, and ends before the 32-bit frame count wraps.
  gap.NoteOn(0, 0, 60, 1).NoteOff(480u * 2 * 86400, 0, 60).NoteOn(480u * 2 * 86400, 0, 62, 1);
  constexpr size_t kNo = SIZE_MAX;
  using R = Result;
  // clang-format off
  for (auto [r, damagedAt, rate, unit, failAt, cancelAt, events, last, advances, progress] :
       std::vector<std::tuple<FakeReader*, size_t, uint32_t, uint32_t, int, int, size_t, Result,
                              int, Progress>>{
         // reader damaged rate  unit     fail cancel events last        advances progress
         {&notes, kNo,   44100, 10,      -1, -1,    4, R::kEndOfEvents,   6615, {25, 50, 75, 100}},
         {&notes, kNo,   44100, 10,      3,  -1,    1, R::kWriteError,    3,    {25}},  // no post
         {&gap,   kNo,   44100, 10,      -1, 1000,  1, R::kCancelled,     1000, {33}},
         {&gap,   kNo,   48000, 1u << 26, -1, -1,   2, R::kWriteError,    64,   {33, 66}}}) {
    // clang-format on
    r->SetDamagedAt(damagedAt);
    (void)r->Rewind();
    ProbeFormat f(r, rate, unit);
    f.failAtAdvance = failAt;
    f.cancelAtAdvance = cancelAt;
    f.cancel = cancelAt == 0;
    Result got;
    EXPECT_EQ(f.Run(got).size(), events) << advances;
    EXPECT_EQ(std::tie(got, f.advances, f.events.progress), std::tie(last, advances, progress));
  }
}

TEST(PedalChannel, BusiestPianoChannelBetweenRewinds) {
  FakeReader perc;  // percussion pedalling is never chosen
  perc.Control(0, 9, 64, 127).Control(10, 9, 64, 0);
  EXPECT_EQ(perc.FindSustainChannel(), 0);

  FakeReader tie;  // ties go to the lowest channel; other controllers do not count
  tie.Control(0, 3, 64, 127).Control(0, 3, 64, 0).Control(0, 1, 64, 127).Control(0, 1, 64, 0);
  tie.Control(0, 1, 7, 100).Control(0, 1, 67, 127).Control(0, 3, 67, 127).Control(0, 3, 67, 0);
  EXPECT_EQ(std::tuple(tie.FindSustainChannel(), tie.FindSoftChannel()), std::tuple(1, 3));

  FakeReader moves;  // a non-piano program stops the count until a piano program returns
  moves.Program(0, 2, 40).Control(0, 2, 64, 127).Control(0, 2, 64, 0).Control(0, 2, 64, 127);
  moves.Control(0, 4, 64, 127).Control(0, 4, 64, 0);
  EXPECT_EQ(moves.FindSustainChannel(), 4);
  moves.Program(0, 2, 7).Control(0, 2, 64, 1).Control(0, 2, 64, 0).Control(0, 2, 64, 1);
  moves.Program(0, 9, 0).Control(0, 9, 64, 1).Control(0, 9, 64, 0).Control(0, 9, 64, 1);
  moves.Control(0, 9, 64, 0);
  EXPECT_EQ(moves.FindSustainChannel(), 2);  // a program change cannot admit channel 9
  MusicEvent ev;                             // rewound before and after
  ASSERT_EQ(moves.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.status, 0xC2);
}

TEST(TonveloFormat, YamahaPianoSysex) {
  using B = std::vector<uint8_t>;
  // clang-format off
  for (auto [status, data, expected] : std::vector<std::tuple<uint8_t, B, bool>>{
           {0xF0, {0x43, 0x71, 0x7E, 0x10, 0xF7}, true}, {0xF0, {0x43, 0x71, 0x7B}, true},
           {0xF0, {0x43, 0x71, 0x7C, 0xF7}, false}, {0xF0, {0x43, 0x71}, false},
           {0xF7, {0x43, 0x71, 0x7E}, false},
           {0xF0, {0xF0, 0x43, 0x71, 0x7E}, false}}) {  // ESEQ bodies start with F0
    // clang-format on
    const MusicEvent ev{kEventSysEx, 0, 0, status, data.data(), static_cast<uint32_t>(data.size())};
    EXPECT_EQ(CTonveloFormat::IsYamahaPianoSysex(ev), expected) << data.size();
  }
}

}  // namespace
}  // namespace tonvelo
