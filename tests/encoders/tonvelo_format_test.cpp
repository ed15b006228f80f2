// The encoder framework: time conversion, title cleaning, progress, the
// accompaniment channel (delay, fold-down, fades, anti-phase), the event
// scheduler and the pedal-channel analysis.

#include "pipeline/tonvelo_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_accompaniment.h"
#include "tests/support/fake_reader.h"
#include "tests/support/recording_events.h"

namespace tonvelo {
namespace {

using test::FakeAccompaniment;
using test::FakeReader;
using test::RecordingEvents;

// A minimal encoder: each Advance produces `unitFrames` frames of signal.
class ProbeFormat : public CTonveloFormat {
 public:
  Result Encode() override { return Result::kSuccess; }
  Result Advance() override {
    ++advances;
    if (advances == failAtAdvance) return Result::kWriteError;
    position += unitFrames;
    return Result::kSuccess;
  }
  uint32_t GetPosition() override { return position; }

  using CTonveloFormat::IsAccompanimentFinished;
  using CTonveloFormat::NextAccompanimentSample;
  using CTonveloFormat::NextEvent;
  using CTonveloFormat::PostProgress;
  using CTonveloFormat::SetAccompanimentDelay;

  uint32_t unitFrames = 10;
  uint32_t position = 0;
  int advances = 0;
  int failAtAdvance = -1;
};

// ---------------------------------------------------------------- time

TEST(SecondsToSamples, RoundsHalfUpAtBothRates) {
  ProbeFormat f;
  f.SetSampleRate(44100);
  EXPECT_EQ(f.SecondsToSamples(0.5), 22050u);
  EXPECT_EQ(f.SecondsToSamples(0.02920635), 1288u);
  EXPECT_EQ(f.SecondsToSamples(0.2), 8820u);
  EXPECT_EQ(f.SecondsToSamples(0.492), 21697u);  // 21697.2
  EXPECT_EQ(f.SecondsToSamples(0.0), 0u);
  f.SetSampleRate(48000);
  EXPECT_EQ(f.SecondsToSamples(0.02920635), 1402u);  // 1401.9
  EXPECT_EQ(f.SecondsToSamples(0.275), 13200u);
  f.SetSampleRate(10);
  EXPECT_EQ(f.SecondsToSamples(0.25), 3u);  // 2.5 rounds up
  EXPECT_EQ(f.SecondsToSamples(0.24), 2u);
}

TEST(SecondsToSamples, SampleRateSetsOneSecondDelayAndEncoderMayReplaceIt) {
  ProbeFormat f;
  f.SetSampleRate(48000);
  EXPECT_EQ(f.GetAccompanimentDelay(), 48000u);
  f.SetAccompanimentDelay(0.5);
  EXPECT_EQ(f.GetAccompanimentDelay(), 24000u);
}

// ---------------------------------------------------------------- title

std::string CleanTitle(const std::string& in) {
  ProbeFormat f;
  f.SetTitle(in);
  return f.GetTitle();
}

TEST(SetTitle, DropsTrackNumberPrefixAndUnprintableCharacters) {
  EXPECT_EQ(CleanTitle("01) Moonlight"), "Moonlight");
  EXPECT_EQ(CleanTitle("07))   Song Two"), "Song Two");
  EXPECT_EQ(CleanTitle("12 Etudes"), "Etudes");  // digits go even without ")"
  EXPECT_EQ(CleanTitle("0123456789"), "");
  EXPECT_EQ(CleanTitle("(1) Intro"), "(1) Intro");
  EXPECT_EQ(CleanTitle("Caf\xC3\xA9 Vall\xC3\xA9\x65"), "Caf Valle");  // UTF-8 accents
  EXPECT_EQ(CleanTitle("Tab\there~"), "Tabhere~");
  EXPECT_EQ(CleanTitle("Song 2"), "Song 2");  // digits later in the title stay
}

TEST(SetTitle, KeepsAtMost511BytesAndClearsThePreviousTitle) {
  ProbeFormat f;
  f.SetTitle(std::string(600, 'x'));
  EXPECT_EQ(std::string(f.GetTitle()).size(), 511u);
  f.SetTitle("ab");
  EXPECT_STREQ(f.GetTitle(), "ab");
  EXPECT_EQ(f.GetTitle()[2], '\0');
  EXPECT_EQ(f.GetTitle()[300], '\0');
}

// ---------------------------------------------------------------- progress

TEST(PostProgress, PostsOnlyChanges) {
  ProbeFormat f;
  RecordingEvents events;
  f.SetNotifyWindow(&events);
  f.PostProgress(0);
  f.PostProgress(100);
  f.PostProgress(100);
  f.PostProgress(5);
  f.PostProgress(5);
  f.PostProgress(6);
  EXPECT_EQ(events.progress, (std::vector<unsigned>{0, 100, 5, 6}));
  ProbeFormat quiet;  // no notify window: nothing to post to, no crash
  quiet.PostProgress(3);
}

// ---------------------------------------------------------------- accompaniment

std::vector<int16_t> Drain(ProbeFormat& f, size_t n) {
  std::vector<int16_t> out;
  for (size_t k = 0; k < n; ++k) out.push_back(f.NextAccompanimentSample());
  return out;
}

int FadeIn(int s, uint32_t k) { return static_cast<int>(s * static_cast<double>(k) / 400.0); }

TEST(Accompaniment, NoneGivesSilenceAndIsFinished) {
  ProbeFormat f;
  f.SetSampleRate(44100);
  f.SetAccompaniment(nullptr);
  EXPECT_EQ(f.NextAccompanimentSample(), 0);
  EXPECT_TRUE(f.IsAccompanimentFinished());
}

TEST(Accompaniment, MonoIsDelayedAndFadedInAndOut) {
  const int s = -1000;
  auto acc = FakeAccompaniment::Mono(std::vector<int16_t>(1000, s));
  ProbeFormat f;
  f.SetSampleRate(44100);
  f.SetAccompaniment(&acc);
  EXPECT_EQ(acc.RewindCount(), 0);  // mono files are not scanned
  f.SetAccompanimentDelay(3.0 / 44100);
  const auto out = Drain(f, 3 + 1000 + 5);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[3 + 0], 0);   // first frame is silent
  EXPECT_EQ(out[3 + 1], -2);  // -2.5 truncated toward zero
  EXPECT_EQ(out[3 + 399], FadeIn(s, 399));
  EXPECT_EQ(out[3 + 400], s);
  EXPECT_EQ(out[3 + 600], s);  // n - k = 400: no fade yet
  EXPECT_EQ(out[3 + 601], FadeIn(s, 399));
  EXPECT_EQ(out[3 + 999], -2);  // the last frame is s / 400
  EXPECT_FALSE(f.IsAccompanimentFinished() && out.size() < 1003);
  EXPECT_TRUE(f.IsAccompanimentFinished());
  for (size_t k = 1003; k < out.size(); ++k) EXPECT_EQ(out[k], 0);
}

TEST(Accompaniment, ShortFileFadesOverlapWithFadeInWinning) {
  const int s = 4000;
  auto acc = FakeAccompaniment::Mono(std::vector<int16_t>(500, s));
  ProbeFormat f;
  f.SetSampleRate(44100);
  f.SetAccompaniment(&acc);
  f.SetAccompanimentDelay(0.0);
  const auto out = Drain(f, 500);
  EXPECT_EQ(out[300], 3000);  // fade-in although only 200 frames remain
  EXPECT_EQ(out[399], 3990);
  EXPECT_EQ(out[400], 1000);  // then the fade-out: 4000 * 100 / 400
  EXPECT_EQ(out[499], 10);
}

TEST(Accompaniment, StereoFoldsToTheTruncatedMean) {
  std::vector<PcmFrame> frames(1200, PcmFrame{1000, 3001});
  frames[500] = {-3, 0};
  frames[501] = {32767, 32767};
  frames[502] = {-32768, -32768};
  FakeAccompaniment acc(frames, 2);
  ProbeFormat f;
  f.SetSampleRate(44100);
  f.SetAccompaniment(&acc);
  EXPECT_FALSE(f.IsAntiPhase());
  EXPECT_EQ(acc.RewindCount(), 1);
  f.SetAccompanimentDelay(0.0);
  const auto out = Drain(f, 1200);
  EXPECT_EQ(out[499], 2000);
  EXPECT_EQ(out[500], -1);
  EXPECT_EQ(out[501], 32767);
  EXPECT_EQ(out[502], -32768);
  EXPECT_EQ(out[1], FadeIn(2000, 1));
}

TEST(Accompaniment, AntiPhaseStereoUsesTheLeftChannel) {
  std::vector<PcmFrame> frames;
  for (int k = 0; k < 1000; ++k) {
    const auto v = static_cast<int16_t>(k * 7 + 100);
    frames.push_back({v, static_cast<int16_t>(-v)});
  }
  FakeAccompaniment acc(frames, 2);
  ProbeFormat f;
  f.SetSampleRate(44100);
  f.SetAccompaniment(&acc);
  EXPECT_TRUE(f.IsAntiPhase());
  f.SetAccompanimentDelay(0.0);
  const auto out = Drain(f, 500);
  EXPECT_EQ(out[450], 450 * 7 + 100);  // read again from the first frame
}

// The anti-phase count must exceed a fifth of the length; silence and
// near-cancelling frames at the threshold do not count.
TEST(Accompaniment, AntiPhaseThreshold) {
  auto make = [](int cancelling) {
    std::vector<PcmFrame> frames(1000, PcmFrame{0, 0});
    for (int k = 0; k < cancelling; ++k) frames[k] = {3000, -3000};
    // |L + R| = 1000 equals |L / 3| here: not counted.
    frames[999] = {3000, -2000};
    return frames;
  };
  for (auto [count, expected] : {std::pair{200, false}, std::pair{201, true}}) {
    FakeAccompaniment acc(make(count), 2);
    ProbeFormat f;
    f.SetSampleRate(44100);
    f.SetAccompaniment(&acc);
    EXPECT_EQ(f.IsAntiPhase(), expected) << count;
  }
  FakeAccompaniment silent(std::vector<PcmFrame>(100), 2);
  ProbeFormat f;
  f.SetAccompaniment(&silent);
  EXPECT_FALSE(f.IsAntiPhase());
}

TEST(Accompaniment, ReadFailureEndsTheRecordingSilently) {
  auto acc = FakeAccompaniment::Mono(std::vector<int16_t>(1000, 500));
  acc.FailReadsFrom(450);
  ProbeFormat f;
  f.SetSampleRate(44100);
  f.SetAccompaniment(&acc);
  f.SetAccompanimentDelay(0.0);
  const auto out = Drain(f, 460);
  EXPECT_EQ(out[449], 500);
  EXPECT_EQ(out[450], 0);
  EXPECT_EQ(out[459], 0);
  EXPECT_TRUE(f.IsAccompanimentFinished());
}

// ---------------------------------------------------------------- scheduler

struct Scheduled {
  ProbeFormat f;
  RecordingEvents events;
  CancelFlag cancel{0};
  explicit Scheduled(FakeReader& r, CPCMIn* acc = nullptr, uint32_t rate = 44100) {
    f.SetSampleRate(rate);
    f.SetNotifyWindow(&events);
    f.SetAccompaniment(acc);
    f.SetSource(&r);
    f.SetCancelFlag(&cancel);
  }
  // Fetches every event, returning the position at which each was released.
  std::vector<uint32_t> Run(Result& last) {
    std::vector<uint32_t> at;
    MusicEvent ev;
    while ((last = f.NextEvent(ev)) == Result::kSuccess) at.push_back(f.GetPosition());
    return at;
  }
};

// 480 ticks per quarter at 120 BPM: 480 ticks = 0.5 s = 22050 frames.
TEST(Scheduler, DropsLeadingSilenceOnlyWithoutAccompaniment) {
  FakeReader r;
  r.Meta(0, 0x03, {'x'}).Meta(960, 0x58, {4, 2, 24, 8});  // meta time is dropped too
  r.NoteOn(1440 * 2, 0, 60, 100).NoteOff(480, 0, 60).EndOfTrack(4800);
  {
    Scheduled s(r);
    Result last;
    const auto at = s.Run(last);
    EXPECT_EQ(last, Result::kEndOfEvents);
    // Unit 10, half unit 5: released once position + 5 >= 22050.
    EXPECT_EQ(at, (std::vector<uint32_t>{0, 0, 0, 22050, 22050}));
  }
  auto acc = FakeAccompaniment::Mono(std::vector<int16_t>(10, 1));
  r.Rewind();
  Scheduled s(r, &acc);
  Result last;
  const auto at = s.Run(last);
  // The 1 + 3 s before the note stay; the End of Track delta never counts.
  EXPECT_EQ(at, (std::vector<uint32_t>{0, 44100, 176400, 198450, 198450}));
}

TEST(Scheduler, ReleasesWithinHalfAUnitOfTheTarget) {
  // Targets of 91, 95 and 98 frames: 96 ticks per quarter, 1 s per quarter.
  for (auto [ticks, expected] : {std::pair{91u, 84u}, std::pair{95u, 98u}, std::pair{98u, 98u}}) {
    FakeReader r(44100);
    r.NoteOn(0, 0, 60, 1).Channel(ticks, 0x80, {60, 0}, 1000000);
    Scheduled s(r);
    s.f.unitFrames = 14;
    Result last;
    const auto at = s.Run(last);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[1], expected) << ticks;
  }
}

// The half unit is taken at the first Advance, measured from the first
// event: signal sent for events at time zero counts into it.
TEST(Scheduler, HalfUnitIncludesWhatWasSentBeforeTheFirstAdvance) {
  FakeReader r(44100);
  r.NoteOn(0, 0, 60, 1).NoteOn(0, 0, 64, 1).Channel(1000, 0x80, {60, 0}, 1000000);
  r.Channel(1000, 0x80, {64, 0}, 1000000);
  Scheduled s(r);
  s.f.unitFrames = 14;
  MusicEvent ev;
  ASSERT_EQ(s.f.NextEvent(ev), Result::kSuccess);
  s.f.position += 84;  // the encoder sends two notes' worth of signal
  ASSERT_EQ(s.f.NextEvent(ev), Result::kSuccess);
  s.f.position += 84;
  ASSERT_EQ(s.f.NextEvent(ev), Result::kSuccess);
  // First Advance at 168 -> 182: half unit 91, so released at 910 + 14k >= 909.
  EXPECT_EQ(s.f.GetPosition(), 910u);
  ASSERT_EQ(s.f.NextEvent(ev), Result::kSuccess);
  EXPECT_EQ(s.f.GetPosition(), 1918u);  // 2000 - 91 = 1909 -> 1918
}

TEST(Scheduler, MeasuresFromThePositionOfTheFirstEventAndFollowsTempo) {
  FakeReader r(96);
  r.NoteOn(0, 0, 60, 1);
  r.Channel(96, 0x80, {60, 0}, 500000);   // +0.5 s
  r.Channel(96, 0x90, {62, 1}, 1000000);  // +1 s under the new tempo
  Scheduled s(r, nullptr, 48000);
  s.f.unitFrames = 2;   // half unit 1: released on the exact frame
  s.f.position = 1000;  // the encoder's set-up signal came first
  Result last;
  const auto at = s.Run(last);
  EXPECT_EQ(at, (std::vector<uint32_t>{1000, 1000 + 24000, 1000 + 72000}));
}

TEST(Scheduler, ErrorCodesAndProgress) {
  FakeReader r;
  r.NoteOn(0, 0, 60, 1).NoteOff(480, 0, 60).NoteOn(480, 0, 62, 1).NoteOff(480, 0, 62);
  {
    Scheduled s(r);
    Result last;
    s.Run(last);
    EXPECT_EQ(last, Result::kEndOfEvents);
    EXPECT_EQ(s.events.progress, (std::vector<unsigned>{25, 50, 75, 100}));
  }
  {
    r.Rewind();
    r.SetDamagedAt(2);
    Scheduled s(r);
    Result last;
    EXPECT_EQ(s.Run(last).size(), 2u);
    EXPECT_EQ(last, Result::kSourceDamaged);
    r.SetDamagedAt(SIZE_MAX);
  }
  {
    r.Rewind();
    Scheduled s(r);
    s.f.failAtAdvance = 3;
    Result last;
    EXPECT_EQ(s.Run(last).size(), 1u);
    EXPECT_EQ(last, Result::kWriteError);
    EXPECT_EQ(s.events.progress, (std::vector<unsigned>{25}));  // no post on failure
  }
  {
    r.Rewind();
    Scheduled s(r);
    s.cancel = 1;
    Result last;
    EXPECT_TRUE(s.Run(last).empty());
    EXPECT_EQ(last, Result::kCancelled);
  }
}

// ---------------------------------------------------------------- analysis

TEST(PedalChannel, PicksTheBusiestPianoChannel) {
  {
    FakeReader r;  // percussion pedalling is never chosen
    r.Control(0, 9, 64, 127).Control(10, 9, 64, 0);
    EXPECT_EQ(r.FindSustainChannel(), 0);
  }
  {
    FakeReader r;  // ties go to the lowest channel; other controllers do not count
    r.Control(0, 3, 64, 127).Control(0, 3, 64, 0).Control(0, 1, 64, 127).Control(0, 1, 64, 0);
    r.Control(0, 1, 7, 100).Control(0, 1, 67, 127).Control(0, 3, 67, 127).Control(0, 3, 67, 0);
    EXPECT_EQ(r.FindSustainChannel(), 1);
    EXPECT_EQ(r.FindSoftChannel(), 3);
  }
  {
    FakeReader r;  // a non-piano program stops counting until a piano program returns
    r.Program(0, 2, 40).Control(0, 2, 64, 127).Control(0, 2, 64, 0).Control(0, 2, 64, 127);
    r.Control(0, 4, 64, 127).Control(0, 4, 64, 0);
    EXPECT_EQ(r.FindSustainChannel(), 4);
    r.Program(0, 2, 7).Control(0, 2, 64, 1).Control(0, 2, 64, 0).Control(0, 2, 64, 1);
    EXPECT_EQ(r.FindSustainChannel(), 2);
  }
  {
    FakeReader r;  // a program change on channel 9 cannot make it a candidate
    r.Program(0, 9, 0).Control(0, 9, 64, 127).Control(0, 5, 64, 127);
    EXPECT_EQ(r.FindSustainChannel(), 5);
  }
}

TEST(PedalChannel, RewindsBeforeAndAfter) {
  FakeReader r;
  r.NoteOn(0, 0, 60, 1).Control(0, 6, 64, 127);
  MusicEvent ev;
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(r.FindSustainChannel(), 6);
  ASSERT_EQ(r.ReadEvent(ev), ReadResult::kEvent);
  EXPECT_EQ(ev.status, 0x90);
}

TEST(YamahaPianoSysex, RecognisesBothFamilies) {
  auto check = [](uint8_t status, std::vector<uint8_t> data) {
    MusicEvent ev;
    ev.kind = kEventSysEx;
    ev.status = status;
    ev.data = data.data();
    ev.length = static_cast<uint32_t>(data.size());
    return CTonveloFormat::IsYamahaPianoSysex(ev);
  };
  EXPECT_TRUE(check(0xF0, {0x43, 0x71, 0x7E, 0x10, 0xF7}));
  EXPECT_TRUE(check(0xF0, {0x43, 0x71, 0x7B}));
  EXPECT_FALSE(check(0xF0, {0x43, 0x71, 0x7C, 0xF7}));
  EXPECT_FALSE(check(0xF0, {0x43, 0x71}));
  EXPECT_FALSE(check(0xF7, {0x43, 0x71, 0x7E}));
  EXPECT_FALSE(check(0xF0, {0xF0, 0x43, 0x71, 0x7E}));  // ESEQ bodies start with F0
}

}  // namespace
}  // namespace tonvelo
