// The encoder framework: time conversion, title cleaning, progress, the
// accompaniment channel (delay, fold-down, fades, anti-phase), the event
// scheduler and the pedal-channel analysis.

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

// A minimal encoder: each Advance produces `unitFrames` frames of signal.
class ProbeFormat : public CTonveloFormat {
 public:
  explicit ProbeFormat(FakeReader* r = nullptr, uint32_t rate = 44100) {
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

  using CTonveloFormat::DataChannel;
  using CTonveloFormat::IsAccompanimentFinished;
  using CTonveloFormat::NextAccompanimentSample;
  using CTonveloFormat::NextEvent;
  using CTonveloFormat::PostProgress;
  using CTonveloFormat::SetAccompanimentDelay;
  using CTonveloFormat::SetDataChannel;
  using CTonveloFormat::WriteData;
  using CTonveloFormat::WriteSilence;

  // Fetches every event; the position at which each was released.
  std::vector<uint32_t> Run(Result& last) {
    std::vector<uint32_t> at;
    MusicEvent ev;
    while ((last = NextEvent(ev)) == Result::kSuccess) at.push_back(position);
    return at;
  }
  // n accompaniment samples, after a delay of `delayFrames`.
  std::vector<int> Drain(CPCMIn& acc, size_t n, uint32_t delayFrames = 0) {
    SetAccompaniment(&acc);
    SetAccompanimentDelay(static_cast<double>(delayFrames) / GetSampleRate());
    std::vector<int> out;
    while (out.size() < n) out.push_back(NextAccompanimentSample());
    return out;
  }

  test::RecordingEvents events;
  CancelFlag cancel{0};
  uint32_t unitFrames = 10;
  uint32_t position = 0;
  int advances = 0, failAtAdvance = -1, cancelAtAdvance = -1;
};

TEST(TonveloFormat, SecondsToSamplesAndTheAccompanimentDelay) {
  ProbeFormat f;
  EXPECT_EQ(f.SecondsToSamples(0.5), 22050u);
  EXPECT_EQ(f.SecondsToSamples(0.02920635), 1288u);
  EXPECT_EQ(f.SecondsToSamples(0.492), 21697u);  // 21697.2
  EXPECT_EQ(f.GetAccompanimentDelay(), 44100u);  // one second by default
  f.SetSampleRate(48000);
  EXPECT_EQ(f.SecondsToSamples(0.02920635), 1402u);  // 1401.9
  EXPECT_EQ(f.GetAccompanimentDelay(), 48000u);
  f.SetAccompanimentDelay(0.5);
  EXPECT_EQ(f.GetAccompanimentDelay(), 24000u);
  f.SetSampleRate(10);
  EXPECT_EQ(f.SecondsToSamples(0.25), 3u);  // 2.5 rounds up
  EXPECT_EQ(f.SecondsToSamples(0.24), 2u);
}

TEST(TonveloFormat, TitleCleaningAndProgress) {
  for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"01) Moonlight", "Moonlight"},
           {"07))   Song Two", "Song Two"},
           {"12 Etudes", "Etudes"},
           {"0123456789", ""},
           {"(1) Intro", "(1) Intro"},
           {"Caf\xC3\xA9 Vall\xC3\xA9\x65", "Caf Valle"},  // accents dropped, not replaced
           {"Tab\there~", "Tabhere~"},
           {"Song 2", "Song 2"},
           {std::string(600, 'x'), std::string(511, 'x')},
       }) {
    ProbeFormat f;
    f.SetTitle("previous title, longer");
    f.SetTitle(in);
    EXPECT_EQ(std::string(f.GetTitle(), kTitleBytes),
              out + std::string(kTitleBytes - out.size(), '\0'));
  }
  ProbeFormat f;
  for (uint32_t p : {0, 100, 100, 5, 5, 6}) f.PostProgress(p);
  EXPECT_EQ(f.events.progress, (std::vector<unsigned>{0, 100, 5, 6}));
}

int Faded(int s, uint32_t k) { return static_cast<int>(s * static_cast<double>(k) / 400.0); }

TEST(Accompaniment, MonoDelayFadesAndEnd) {
  ProbeFormat none;
  EXPECT_EQ(none.NextAccompanimentSample(), 0);
  EXPECT_TRUE(none.IsAccompanimentFinished());

  auto acc = FakeAccompaniment::Mono(std::vector<int16_t>(1000, -1000));
  ProbeFormat f;
  const auto out = f.Drain(acc, 3 + 1000 + 5, 3);
  EXPECT_EQ(acc.RewindCount(), 0);  // mono files are not scanned
  EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + 4), std::vector<int>(4, 0));
  EXPECT_EQ(out[3 + 1], -2);  // -2.5 truncated toward zero
  EXPECT_EQ(out[3 + 399], Faded(-1000, 399));
  EXPECT_EQ(out[3 + 400], -1000);
  EXPECT_EQ(out[3 + 600], -1000);  // n - k = 400: not yet fading
  EXPECT_EQ(out[3 + 601], Faded(-1000, 399));
  EXPECT_EQ(out[3 + 999], -2);  // the last frame is s / 400
  EXPECT_EQ(std::vector<int>(out.begin() + 1003, out.end()), std::vector<int>(5, 0));
  EXPECT_TRUE(f.IsAccompanimentFinished());

  // Shorter than 800 frames: the fade-in wins while k < 400.
  auto shortAcc = FakeAccompaniment::Mono(std::vector<int16_t>(500, 4000));
  const auto s = ProbeFormat().Drain(shortAcc, 500);
  EXPECT_EQ(s[300], 3000);
  EXPECT_EQ(s[399], 3990);
  EXPECT_EQ(s[400], 1000);
  EXPECT_EQ(s[499], 10);

  // A read failure ends the recording for good.
  auto failing = FakeAccompaniment::Mono(std::vector<int16_t>(1000, 500));
  failing.FailReadsFrom(450);
  ProbeFormat g;
  const auto cut = g.Drain(failing, 460);
  EXPECT_EQ(cut[449], 500);
  EXPECT_EQ(std::vector<int>(cut.begin() + 450, cut.end()), std::vector<int>(10, 0));
  EXPECT_TRUE(g.IsAccompanimentFinished());
}

TEST(Accompaniment, StereoFoldDownAndAntiPhase) {
  std::vector<PcmFrame> frames(1200, PcmFrame{1000, 3001});
  frames[500] = {-3, 0};
  frames[501] = {32767, 32767};
  frames[502] = {-32768, -32768};
  FakeAccompaniment acc(frames, 2);
  ProbeFormat f;
  const auto out = f.Drain(acc, 1200);
  EXPECT_FALSE(f.IsAntiPhase());
  EXPECT_EQ(acc.RewindCount(), 1);  // scanned, then read again from the start
  EXPECT_EQ(out[1], Faded(2000, 1));
  EXPECT_EQ(out[499], 2000);  // 4001 / 2, truncated
  EXPECT_EQ(out[500], -1);
  EXPECT_EQ(out[501], 32767);
  EXPECT_EQ(out[502], -32768);

  std::vector<PcmFrame> negated;  // right is the exact negative of left
  for (int k = 0; k < 1000; ++k) {
    negated.push_back({static_cast<int16_t>(k * 7 + 100), static_cast<int16_t>(-(k * 7 + 100))});
  }
  FakeAccompaniment anti(negated, 2);
  ProbeFormat g;
  EXPECT_EQ(g.Drain(anti, 500)[450], 450 * 7 + 100);
  EXPECT_TRUE(g.IsAntiPhase());

  // The count of cancelling frames must exceed a fifth of the length;
  // |L + R| equal to |L / 3| and silence do not count.
  for (auto [count, expected] : {std::pair{200, false}, std::pair{201, true}}) {
    std::vector<PcmFrame> mix(1000, PcmFrame{0, 0});
    for (int k = 0; k < count; ++k) mix[k] = {3000, -3000};
    mix[999] = {3000, -2000};
    FakeAccompaniment a(mix, 2);
    ProbeFormat h;
    h.SetAccompaniment(&a);
    EXPECT_EQ(h.IsAntiPhase(), expected) << count;
  }
}

// The accompaniment rules one frame at a time, as the reference for the
// block mixer.
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
    const PcmFrame f = frames[read];
    int s = leftOnly ? f.left : (f.left + f.right) / 2;
    const uint32_t k = read++;
    if (k < 400) return static_cast<int16_t>(s * static_cast<double>(k) / 400.0);
    if (n - k < 400) return static_cast<int16_t>(s * static_cast<double>(n - k) / 400.0);
    return static_cast<int16_t>(s);
  }
};

// Stretches of data and silence of awkward lengths against recordings whose
// delay, fades, end and read failure fall on and across block edges, with
// the data on either channel and with doubled frames.
TEST(Accompaniment, BlocksMixExactlyAsFrameByFrame) {
  struct Case {
    uint32_t lengthFrames, channels, delayFrames, failFrom;
    bool dataLeft, doubled;
  };
  constexpr uint32_t B = kBlockFrames;
  // clang-format off
  const Case cases[] = {
    // length        ch  delay        fail from     data left  doubled
    {3 * B,          2,  B - 200,     UINT32_MAX,   false,     false},  // fade-in across an edge
    {2 * B + 200,    2,  0,           UINT32_MAX,   true,      false},  // fade-out across an edge
    {B + 17,         1,  2 * B + 5,   UINT32_MAX,   false,     true},   // delay beyond a block, ends inside one
    {5000,           2,  3,           B + 100,      true,      false},  // read fails inside a block
    {700,            1,  B,           UINT32_MAX,   false,     true},   // overlapping fades
    {2 * B,          2,  1,           UINT32_MAX,   false,     false},  // anti-phase (below)
  };
  // clang-format on
  const uint32_t stretches[] = {1, 37, B, B + 1, 5, 3 * B - 9, 400, 2 * B, 123};
  for (size_t c = 0; c < std::size(cases); ++c) {
    const Case& t = cases[c];
    std::vector<PcmFrame> frames(t.lengthFrames);
    for (uint32_t k = 0; k < t.lengthFrames; ++k) {
      const auto l = static_cast<int16_t>((k * 7919) % 60001 - 30000);
      frames[k] = {l, static_cast<int16_t>(c == 5 ? -l : (k * 104729) % 50001 - 25000)};
    }
    FakeAccompaniment acc(frames, t.channels);
    acc.FailReadsFrom(t.failFrom);
    test::MemoryOutput out;
    ASSERT_EQ(out.Open("", 44100, "", "", false, t.doubled), AudioResult::kOk);
    ProbeFormat f;
    f.SetOutput(&out);
    f.SetDataChannel(t.dataLeft ? ProbeFormat::DataChannel::kLeft
                                : ProbeFormat::DataChannel::kRight);
    f.SetAccompaniment(&acc);
    f.SetAccompanimentDelay(t.delayFrames / 44100.0);
    ASSERT_EQ(f.GetAccompanimentDelay(), t.delayFrames);
    EXPECT_EQ(f.IsAntiPhase(), c == 5);

    FrameByFrame ref{frames, t.channels == 1 || c == 5, t.delayFrames, t.failFrom};
    std::vector<int16_t> wantData, wantAcc;
    int16_t next = 0;
    for (size_t i = 0; i < std::size(stretches); ++i) {
      std::vector<int16_t> data(stretches[i]);
      for (int16_t& d : data) d = next++;
      if (i % 3 == 2) data.assign(data.size(), 0);
      ASSERT_EQ(i % 3 == 2 ? f.WriteSilence(stretches[i])
                           : f.WriteData(data.data(), static_cast<uint32_t>(data.size())),
                Result::kSuccess);
      for (int16_t d : data) {
        for (int copy = 0; copy < (t.doubled ? 2 : 1); ++copy) wantData.push_back(d);
        const int16_t a = ref.Next();
        for (int copy = 0; copy < (t.doubled ? 2 : 1); ++copy) wantAcc.push_back(a);
      }
      EXPECT_EQ(f.IsAccompanimentFinished(), ref.failed || ref.read >= t.lengthFrames) << c;
    }
    EXPECT_EQ(out.GetFrameCount() * (t.doubled ? 2u : 1u), out.Size()) << c;
    EXPECT_EQ(t.dataLeft ? out.Left() : out.Right(), wantData) << c;
    EXPECT_EQ(t.dataLeft ? out.Right() : out.Left(), wantAcc) << c;
  }
}

// 480 ticks per quarter at 120 BPM: 480 ticks = 0.5 s = 22050 frames.
TEST(Scheduler, DropsLeadingSilenceOnlyWithoutAccompaniment) {
  FakeReader r;
  r.Meta(0, 0x03, {'x'}).Meta(960, 0x58, {4, 2, 24, 8});  // meta time is dropped too
  r.NoteOn(2880, 0, 60, 100).NoteOff(480, 0, 60).EndOfTrack(4800);
  Result last;
  // Unit 10, half unit 5: released once position + 5 >= 22050.
  EXPECT_EQ(ProbeFormat(&r).Run(last), (std::vector<uint32_t>{0, 0, 0, 22050, 22050}));
  EXPECT_EQ(last, Result::kEndOfEvents);
  auto acc = FakeAccompaniment::Mono(std::vector<int16_t>(10, 1));
  ProbeFormat f(&r);
  f.SetAccompaniment(&acc);
  (void)r.Rewind();
  // The 1 + 3 s before the note stay; the End of Track delta never counts.
  EXPECT_EQ(f.Run(last), (std::vector<uint32_t>{0, 44100, 176400, 198450, 198450}));
}

TEST(Scheduler, ReleaseTimes) {
  // 44100 ticks per quarter at 1 s per quarter: one tick per frame.
  for (auto [ticks, expected] : {std::pair{91u, 84u}, std::pair{95u, 98u}, std::pair{98u, 98u}}) {
    FakeReader r(44100);
    r.NoteOn(0, 0, 60, 1).Channel(ticks, 0x80, {60, 0}, 1000000);
    ProbeFormat f(&r);
    f.unitFrames = 14;  // half unit 7
    Result last;
    EXPECT_EQ(f.Run(last).back(), expected) << ticks;
  }
  // The half unit is taken at the first Advance, measured from the first
  // event: signal sent for events at time zero counts into it.
  FakeReader r(44100);
  r.NoteOn(0, 0, 60, 1).NoteOn(0, 0, 64, 1).Channel(1000, 0x80, {60, 0}, 1000000);
  r.Channel(1000, 0x80, {64, 0}, 1000000);
  ProbeFormat f(&r);
  f.unitFrames = 14;
  MusicEvent ev;
  std::vector<uint32_t> at;
  for (int k = 0; k < 4; ++k) {
    ASSERT_EQ(f.NextEvent(ev), Result::kSuccess);
    at.push_back(f.position);
    if (k < 2) f.position += 84;  // the encoder sends two notes' worth
  }
  // First Advance 168 -> 182, half unit 91: 910 >= 1000 - 91, 1918 >= 2000 - 91.
  EXPECT_EQ(at, (std::vector<uint32_t>{0, 84, 910, 1918}));
}

TEST(Scheduler, ErrorCodesAndProgress) {
  FakeReader r;
  r.NoteOn(0, 0, 60, 1).NoteOff(480, 0, 60).NoteOn(480, 0, 62, 1).NoteOff(480, 0, 62);
  Result last;
  ProbeFormat ok(&r);
  ok.Run(last);
  EXPECT_EQ(last, Result::kEndOfEvents);
  EXPECT_EQ(ok.events.progress, (std::vector<unsigned>{25, 50, 75, 100}));

  r.SetDamagedAt(2);
  (void)r.Rewind();
  EXPECT_EQ(ProbeFormat(&r).Run(last).size(), 2u);
  EXPECT_EQ(last, Result::kSourceDamaged);
  r.SetDamagedAt(SIZE_MAX);

  (void)r.Rewind();
  ProbeFormat failing(&r);
  failing.failAtAdvance = 3;
  EXPECT_EQ(failing.Run(last).size(), 1u);
  EXPECT_EQ(last, Result::kWriteError);
  EXPECT_EQ(failing.events.progress, (std::vector<unsigned>{25}));  // no post on failure

  (void)r.Rewind();
  ProbeFormat cancelled(&r);
  cancelled.cancel = 1;
  EXPECT_TRUE(cancelled.Run(last).empty());
  EXPECT_EQ(last, Result::kCancelled);

  // Day-long gaps: the wait can be cancelled, and it stops with a write
  // error rather than wrapping the 32-bit frame count.
  FakeReader gap;
  gap.NoteOn(0, 0, 60, 1).NoteOff(480u * 2 * 86400, 0, 60).NoteOn(480u * 2 * 86400, 0, 62, 1);
  ProbeFormat waiting(&gap);
  waiting.cancelAtAdvance = 1000;
  EXPECT_EQ(waiting.Run(last).size(), 1u);
  EXPECT_EQ(last, Result::kCancelled);
  EXPECT_EQ(waiting.advances, 1000);
  (void)gap.Rewind();
  ProbeFormat wrapping(&gap, 48000);
  wrapping.unitFrames = 1u << 26;
  EXPECT_EQ(wrapping.Run(last).size(), 2u);
  EXPECT_EQ(last, Result::kWriteError);
  EXPECT_EQ(wrapping.advances, 64);
}

TEST(PedalChannel, BusiestPianoChannelBetweenRewinds) {
  FakeReader perc;  // percussion pedalling is never chosen
  perc.Control(0, 9, 64, 127).Control(10, 9, 64, 0);
  EXPECT_EQ(perc.FindSustainChannel(), 0);

  FakeReader tie;  // ties go to the lowest channel; other controllers do not count
  tie.Control(0, 3, 64, 127).Control(0, 3, 64, 0).Control(0, 1, 64, 127).Control(0, 1, 64, 0);
  tie.Control(0, 1, 7, 100).Control(0, 1, 67, 127).Control(0, 3, 67, 127).Control(0, 3, 67, 0);
  EXPECT_EQ(tie.FindSustainChannel(), 1);
  EXPECT_EQ(tie.FindSoftChannel(), 3);

  FakeReader moves;  // a non-piano program stops the count until a piano program returns
  moves.Program(0, 2, 40).Control(0, 2, 64, 127).Control(0, 2, 64, 0).Control(0, 2, 64, 127);
  moves.Control(0, 4, 64, 127).Control(0, 4, 64, 0);
  EXPECT_EQ(moves.FindSustainChannel(), 4);
  moves.Program(0, 2, 7).Control(0, 2, 64, 1).Control(0, 2, 64, 0).Control(0, 2, 64, 1);
  moves.Program(0, 9, 0).Control(0, 9, 64, 1).Control(0, 9, 64, 0).Control(0, 9, 64, 1);
  moves.Control(0, 9, 64, 0);
  EXPECT_EQ(moves.FindSustainChannel(), 2);  // a program change cannot admit channel 9

  MusicEvent ev;  // rewound before and after
  ASSERT_EQ(moves.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.status, 0xC2);
}

TEST(TonveloFormat, YamahaPianoSysex) {
  using B = std::vector<uint8_t>;
  for (auto [status, data, expected] : std::vector<std::tuple<uint8_t, B, bool>>{
           {0xF0, {0x43, 0x71, 0x7E, 0x10, 0xF7}, true},
           {0xF0, {0x43, 0x71, 0x7B}, true},
           {0xF0, {0x43, 0x71, 0x7C, 0xF7}, false},
           {0xF0, {0x43, 0x71}, false},
           {0xF7, {0x43, 0x71, 0x7E}, false},
           {0xF0, {0xF0, 0x43, 0x71, 0x7E}, false}}) {  // ESEQ bodies start with F0
    const MusicEvent ev{kEventSysEx, 0, 0, status, data.data(), static_cast<uint32_t>(data.size())};
    EXPECT_EQ(CTonveloFormat::IsYamahaPianoSysex(ev), expected) << data.size();
  }
}

}  // namespace
}  // namespace tonvelo
