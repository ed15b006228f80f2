// The Disklavier encoder: phase tables, the modulator against the long-hand
// frame-buffer rendering, the set-up sequence, the stream escapes, channel
// merging and pedals, the velocity map, the title message and the ending.

#include "encoders/mid2disklavier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "encoders/disklavier_title.h"
#include "encoders/encoder_factory.h"
#include "tests/support/disklavier_run.h"
#include "tests/support/fake_accompaniment.h"

namespace tonvelo {
namespace {

using test::DkIdleUntil;
using test::DkKind;
using test::DkMessage;
using test::DkOptions;
using test::DkPosition;
using test::DkSeconds;
using test::FakeReader;
using test::RunDisklavier;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- tables

TEST(DisklavierTables, MatchTheirDefinitionWithMarginToSpare) {
  auto tables = std::make_unique<CMid2Disklavier::PhaseTables>();
  CMid2Disklavier::BuildPhaseTables(*tables);
  for (int k = 0; k < 16; ++k) {
    for (int i = 0; i < 1120; ++i) {
      const long double exact = 8192.0L * std::sin(2.0L * M_PIl * i / 1120.0L + k * M_PIl / 8.0L);
      const auto expected = static_cast<int16_t>(std::trunc(exact));
      ASSERT_EQ((*tables)[k][i], expected) << k << "," << i;
      ASSERT_EQ((*tables)[k][i + 1120], expected) << k << "," << i;
      // Every value is either exact (0, +-8192) or far enough from an integer
      // that no libm's last-bit difference can change the truncation.
      const long double frac = std::fabs(exact - std::round(exact));
      if (frac > 1e-9L) {
        ASSERT_GT(frac, 1e-7L) << k << "," << i;
      }
    }
  }
  EXPECT_EQ((*tables)[0][280], 8192);
  EXPECT_EQ((*tables)[4][0], 8192);
  EXPECT_EQ((*tables)[8][0], 0);
  EXPECT_EQ((*tables)[12][0], -8192);
}

TEST(DisklavierTables, VelocityMapKeepsZeroAndSpansThePianoRange) {
  EXPECT_EQ(CMid2Disklavier::MapVelocity(0), 0);
  EXPECT_EQ(CMid2Disklavier::MapVelocity(1), 30);
  EXPECT_EQ(CMid2Disklavier::MapVelocity(43), 52);
  EXPECT_EQ(CMid2Disklavier::MapVelocity(64), 62);
  EXPECT_EQ(CMid2Disklavier::MapVelocity(86), 74);
  EXPECT_EQ(CMid2Disklavier::MapVelocity(126), 94);
  EXPECT_EQ(CMid2Disklavier::MapVelocity(127), 95);
  for (int v = 2; v < 128; ++v) {
    const int step = CMid2Disklavier::MapVelocity(v) - CMid2Disklavier::MapVelocity(v - 1);
    EXPECT_TRUE(step == 0 || step == 1) << v;
  }
}

// ---------------------------------------------------------------- modulator

class DisklavierRate : public ::testing::TestWithParam<uint32_t> {
 protected:
  uint32_t rate() const { return GetParam(); }
  uint32_t frameSamples() const { return rate() == 48000 ? 320 : 294; }
};

INSTANTIATE_TEST_SUITE_P(BothRates, DisklavierRate, ::testing::Values(44100u, 48000u),
                         [](const auto& info) { return std::to_string(info.param); });

TEST_P(DisklavierRate, IdleSymbolsMatchTheFrameBufferRenderingAndRoundPositions) {
  test::MemoryOutput out;
  auto enc = std::make_unique<CMid2Disklavier>();
  enc->SetSampleRate(rate());
  enc->SetOutput(&out);
  enc->Initialise();
  EXPECT_EQ(enc->GetCarrierPhase(), 4u);
  const size_t symbols = 21 * 5;
  for (size_t k = 1; k <= symbols; ++k) {
    ASSERT_EQ(enc->Advance(), Result::kSuccess);
    if (k == 1) {
      EXPECT_EQ(enc->GetCarrierPhase(), 13u);  // idle adds 9 steps
    }
    EXPECT_EQ(enc->GetPosition(), DkPosition(0, k, rate())) << k;
    EXPECT_EQ(out.Size(), (k / 21) * frameSamples()) << k;
  }
  // Idle phases run through all 16 values, so every table is exercised.
  const auto reference = test::DkReferenceSignal(std::vector<uint8_t>(symbols, 15), 0, rate(), 0);
  EXPECT_EQ(out.Right(), reference);
  for (int16_t l : out.Left()) ASSERT_EQ(l, 0);
}

TEST_P(DisklavierRate, SetUpSequenceAndTiming) {
  FakeReader r;
  r.NoteOn(0, 0, 60, 100).EndOfTrack();
  auto run = RunDisklavier(r, rate());
  ASSERT_EQ(run->result, Result::kSuccess);
  const auto& sig = run->signal;
  ASSERT_TRUE(sig.ok) << sig.error;
  const uint32_t lead = DkSeconds(0.02920635, rate());
  EXPECT_EQ(sig.leadIn, lead);
  EXPECT_EQ(sig.symbols[0].phase, 13);
  for (const auto& s : sig.symbols) {
    ASSERT_NEAR(s.amplitude, 8192, 4);
    ASSERT_LT(s.phaseError, 0.01);
    ASSERT_LT(s.maxResidual, 2.0);
  }

  const Bytes title = {0x43, 0x71, 0x7E, 0x10, 0x03, 10,  ' ', ' ',
                       ' ',  ' ',  ' ',  ' ',  'S',  'o', 'n', 'g'};
  const auto& m = run->messages;
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].kind, DkKind::kSysEx);
  EXPECT_EQ(m[0].bytes, (Bytes{0x7E, 0x7F, 0x09, 0x01}));
  EXPECT_EQ(m[1].bytes, (Bytes{0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00}));
  EXPECT_EQ(m[2].bytes, title);
  EXPECT_EQ(m[3].kind, DkKind::kChannel);
  EXPECT_EQ(m[3].bytes, (Bytes{0x90, 60, 81}));

  const size_t gm = DkIdleUntil(lead, 0, DkSeconds(0.2, rate()), rate());
  EXPECT_EQ(gm, 538u);
  EXPECT_EQ(m[0].firstSymbol, gm);
  EXPECT_EQ(m[1].firstSymbol, DkIdleUntil(lead, m[0].endSymbol, DkSeconds(0.275, rate()), rate()));
  EXPECT_EQ(m[2].firstSymbol, DkIdleUntil(lead, m[1].endSymbol, DkSeconds(0.35, rate()), rate()));
  EXPECT_EQ(m[3].firstSymbol, DkIdleUntil(lead, m[2].endSymbol, DkSeconds(0.492, rate()), rate()));
  // Everything between the messages is idle signal.
  for (size_t k = 0; k < gm; ++k) ASSERT_EQ(sig.symbols[k].value, 15);

  // The ending: a quarter of a second of idle signal, the frame completed,
  // then one second of silence.
  const size_t last = m[3].endSymbol;
  size_t tail =
      DkIdleUntil(lead, last, DkPosition(lead, last, rate()) + DkSeconds(0.25, rate()), rate());
  tail = (tail + 20) / 21 * 21;
  EXPECT_EQ(sig.symbols.size(), tail);
  EXPECT_EQ(run->out.Size(), lead + tail / 21 * frameSamples() + rate());
  EXPECT_EQ(run->encoder.GetSamplesWritten(), run->out.Size());
  EXPECT_EQ(sig.dataEnd, lead + tail / 21 * frameSamples());
}

TEST_P(DisklavierRate, OutputIsSampleExactAgainstTheReferenceRendering) {
  FakeReader r;
  r.Control(0, 0, 64, 127).NoteOn(0, 0, 60, 90).NoteOn(7, 0, 64, 70).Program(100, 4, 12);
  r.SysEx(3, {0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
  r.NoteOff(240, 0, 60).NoteOff(1, 0, 64).Control(0, 0, 64, 0).EndOfTrack(10);
  auto run = RunDisklavier(r, rate());
  ASSERT_EQ(run->result, Result::kSuccess);
  ASSERT_TRUE(run->signal.ok);
  std::vector<uint8_t> values;
  for (const auto& s : run->signal.symbols) values.push_back(s.value);
  const auto expected = test::DkReferenceSignal(values, run->signal.leadIn, rate(), rate());
  ASSERT_EQ(run->out.Right().size(), expected.size());
  EXPECT_TRUE(run->out.Right() == expected);
}

// ---------------------------------------------------------------- stream

std::vector<DkMessage> MusicMessages(FakeReader& r, uint32_t rate, DkOptions opt = {}) {
  auto run = RunDisklavier(r, rate, opt);
  EXPECT_EQ(run->result, Result::kSuccess);
  EXPECT_TRUE(run->signal.ok) << run->signal.error;
  // Drop the three set-up messages.
  return std::vector<DkMessage>(run->messages.begin() + 3, run->messages.end());
}

std::vector<Bytes> BytesOf(const std::vector<DkMessage>& m) {
  std::vector<Bytes> v;
  for (const auto& x : m) v.push_back(x.bytes);
  return v;
}

TEST_P(DisklavierRate, ProgramChangesAreEscapedWithAChannelSymbol) {
  FakeReader r;
  r.Program(0, 3, 10).Program(0, 0, 5).Program(0, 9, 20).Program(0, 15, 127);
  const auto m = MusicMessages(r, rate());
  ASSERT_EQ(m.size(), 4u);
  for (const auto& x : m) EXPECT_EQ(x.kind, DkKind::kProgram);
  // channel, then the program twice
  EXPECT_EQ(m[0].bytes, (Bytes{3, 10, 10}));
  EXPECT_EQ(m[1].bytes, (Bytes{0, 0, 0}));  // channels 0..2 always get the piano
  EXPECT_EQ(m[2].bytes, (Bytes{9, 20, 20}));
  EXPECT_EQ(m[3].bytes, (Bytes{15, 127, 127}));
  EXPECT_EQ(m[0].endSymbol - m[0].firstSymbol, 7u);  // C4, one symbol, two bytes
}

TEST_P(DisklavierRate, SysExIsEscapedAndYamahaFamiliesAreDropped) {
  FakeReader r;
  r.SysEx(0, {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7});  // XG on: sent by the encoder
  r.SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7});                    // GM on: likewise
  r.SysEx(0, {0x43, 0x73, 0x01, 0xF7});
  r.SysEx(0, {0x43, 0x7E, 0x01, 0xF7});
  r.SysEx(0, {0x43, 0x71, 0x7B, 0x01, 0xF7});
  r.SysEx(0, {0x43, 0x71, 0x7E, 0x0A, 0x01, 0xF7});
  r.SysEx(0, {0x7E, 0x7F, 0x09, 0x02, 0xF7});  // GM off is passed on
  r.SysEx(0, {0x43, 0x71, 0x7C, 0xF7, 0x10});  // F7 anywhere becomes C7
  r.SysEx(0, {0x43, 0x10, 0x4C, 0xF7}, 0xF7);  // an F7 packet: no start byte, not dropped
  r.NoteOn(0, 0, 60, 0);
  auto run = RunDisklavier(r, rate());
  ASSERT_TRUE(run->signal.ok);
  // Flat byte stream after the set-up messages.
  Bytes stream;
  bool started = false;
  for (const auto& it : run->items) {
    if (it.symbol >= run->messages[2].endSymbol) started = true;
    if (started) stream.push_back(it.value);
  }
  EXPECT_EQ(stream, (Bytes{0xC0, 0x7E, 0x7F, 0x09, 0x02, 0xC7,  //
                           0xC0, 0x43, 0x71, 0x7C, 0xC7, 0x10,  //
                           0x43, 0x10, 0x4C, 0xC7,              //
                           0x90, 60, 0}));                      // velocity 0 stays 0
}

TEST_P(DisklavierRate, VelocitiesAreMappedOnlyForFullRangeSourcesAndMergedChannels) {
  auto build = [](FakeReader& r) {
    r.NoteOn(0, 0, 60, 1).NoteOn(0, 5, 61, 127).NoteOn(0, 9, 36, 100).NoteOff(0, 0, 60);
    r.NoteOn(0, 0, 62, 0);
  };
  FakeReader full;
  build(full);
  EXPECT_EQ(BytesOf(MusicMessages(full, rate())),
            (std::vector<Bytes>{
                {0x90, 60, 30}, {0x90, 61, 95}, {0x99, 36, 100}, {0x80, 60, 0x40}, {0x90, 62, 0}}));
  FakeReader piano;
  build(piano);
  DkOptions opt;
  opt.velocityProfile = 1;
  EXPECT_EQ(BytesOf(MusicMessages(piano, rate(), opt)),
            (std::vector<Bytes>{
                {0x90, 60, 1}, {0x90, 61, 127}, {0x99, 36, 100}, {0x80, 60, 0x40}, {0x90, 62, 0}}));
}

TEST_P(DisklavierRate, NonPianoProgramsUnmergeAChannel) {
  FakeReader r;
  r.NoteOn(0, 3, 60, 64);  // merged: channel 0, velocity mapped
  r.Program(0, 3, 8);      // not a piano: channel 3 plays on its own
  r.NoteOn(0, 3, 61, 64);
  r.Program(0, 3, 2);  // back to a piano
  r.NoteOn(0, 3, 62, 64);
  r.Program(0, 1, 40);  // forced to program 0 (sent twice): stays merged
  r.NoteOn(0, 1, 63, 64);
  r.Program(0, 9, 0);  // percussion never merges
  r.NoteOn(0, 9, 64, 64);
  r.Channel(0, 0xE3, {0, 0x40});  // pitch bend follows the merge too
  EXPECT_EQ(BytesOf(MusicMessages(r, rate())), (std::vector<Bytes>{{0x90, 60, 62},
                                                                   {3, 8, 8},
                                                                   {0x93, 61, 64},
                                                                   {3, 2, 2},
                                                                   {0x90, 62, 62},
                                                                   {1, 0, 0},
                                                                   {0x90, 63, 62},
                                                                   {9, 0, 0},
                                                                   {0x99, 64, 64},
                                                                   {0xE0, 0, 0x40}}));
}

TEST_P(DisklavierRate, OnlyThePedalChannelsMoveThePedalsOfMergedChannels) {
  FakeReader r;
  // Channel 2 pedals most; channel 4 has one soft-pedal press more than 2.
  r.Control(0, 2, 64, 127).Control(0, 2, 64, 0).Control(0, 1, 64, 127);
  r.Control(0, 4, 67, 127).Control(0, 4, 67, 0).Control(0, 2, 67, 127);
  r.Control(0, 9, 64, 127);                    // percussion is not merged: kept as it is
  r.Control(0, 1, 7, 100);                     // other controllers are merged, not dropped
  r.Program(0, 6, 20).Control(0, 6, 64, 127);  // un-merged: kept on its channel
  EXPECT_EQ(BytesOf(MusicMessages(r, rate())), (std::vector<Bytes>{{0xB0, 64, 127},
                                                                   {0xB0, 64, 0},
                                                                   {0xB0, 67, 127},
                                                                   {0xB0, 67, 0},
                                                                   {0xB9, 64, 127},
                                                                   {0xB0, 7, 100},
                                                                   {6, 20, 20},
                                                                   {0xB6, 64, 127}}));
}

TEST_P(DisklavierRate, PressureAndSystemStatusesAreDropped) {
  auto build = [](FakeReader& r) {
    r.Channel(0, 0xA0, {60, 10}).Channel(0, 0xD0, {10}).Channel(0, 0xF7, {});
    r.Channel(0, 0xFE, {}).Meta(0, 0x51, {7, 0xA1, 0x20}).NoteOn(0, 0, 60, 1);
  };
  FakeReader full;
  build(full);
  EXPECT_EQ(BytesOf(MusicMessages(full, rate())), (std::vector<Bytes>{{0x90, 60, 30}}));
  FakeReader piano;
  build(piano);
  DkOptions opt;
  opt.velocityProfile = 1;
  EXPECT_EQ(BytesOf(MusicMessages(piano, rate(), opt)),
            (std::vector<Bytes>{{0xA0, 60, 10}, {0x90, 60, 1}}));
}

// ---------------------------------------------------------------- title

// Two display lines, each padded to 16 columns.
std::string Lines(const std::string& one, const std::string& two = "") {
  return one + std::string(16 - one.size(), ' ') + two + std::string(16 - two.size(), ' ');
}

std::string Layout(const char* title, size_t& length) {
  std::array<char, kTitleColumns> cols;
  length = disklavier_title_layout(title, cols);
  return std::string(cols.begin(), cols.end());
}

TEST(DisklavierTitle, CentresShortTitlesOnOneLine) {
  size_t n;
  EXPECT_EQ(Layout("My_Song", n), Lines("    My Song"));
  EXPECT_EQ(n, 11u);
  // Runs of spaces collapse, leading ones go; the trailing one is trimmed.
  EXPECT_EQ(Layout("  Two__Spaces ", n), Lines("   Two Spaces"));
  EXPECT_EQ(n, 13u);
  EXPECT_EQ(Layout("", n), Lines(""));
  EXPECT_EQ(n, 1u);
}

TEST(DisklavierTitle, WrapsWordsOntoTheSecondLine) {
  size_t n;
  // The word crossing column 15 moves down; the separating space stays with
  // line 1, and both lines share the offset of the longer one.
  EXPECT_EQ(Layout("Gymnopedie Number One", n), Lines("  Gymnopedie", "  Number One"));
  EXPECT_EQ(n, 28u);
  // A break exactly at the line end keeps the space with line 2.
  EXPECT_EQ(Layout("Moonlight Sonata Adagio", n), Lines("Moonlight Sonata", " Adagio"));
  EXPECT_EQ(n, 23u);
  EXPECT_EQ(Layout("The Entertainer Rag", n), Lines("The Entertainer", "Rag"));
  EXPECT_EQ(n, 19u);
  // Ten or more characters to go: only columns 9..14 are searched, so the
  // long word is broken instead.
  EXPECT_EQ(Layout("A Supercalifragilistic Word", n), Lines("A Supercalifragi", "listic Word"));
  EXPECT_EQ(n, 27u);
  // Fewer to go: the break at column 1 is taken, and the text is cut at 32.
  EXPECT_EQ(Layout("A Supercalifragilistic", n), Lines("A", "Supercalifragili"));
  EXPECT_EQ(n, 32u);
}

TEST(DisklavierTitle, MessageBytes) {
  const auto m = disklavier_title_message("My_Song");
  const Bytes expected = {0xC0, 0x43, 0x71, 0x7E, 0x10, 0x03, 11,  ' ', ' ', ' ',
                          ' ',  'M',  'y',  ' ',  'S',  'o',  'n', 'g', 0xC7};
  EXPECT_EQ(Bytes(m.bytes.begin(), m.bytes.begin() + m.size), expected);
  EXPECT_EQ(disklavier_title_message("ABCDEFGHIJKLMNOP QRSTUVWXYZABCDEF").size, 40u);
}

TEST_P(DisklavierRate, TitleLengthsOf30And31AreEscaped) {
  for (auto [title, length] : {std::pair{"ABCDEFGHIJKLMNOP QRSTUVWXYZABC", 30},
                               std::pair{"ABCDEFGHIJKLMNOP QRSTUVWXYZABCD", 31}}) {
    FakeReader r;
    r.NoteOn(0, 0, 60, 1);
    DkOptions opt;
    opt.title = title;
    auto run = RunDisklavier(r, rate(), opt);
    ASSERT_TRUE(run->signal.ok);
    Bytes body = run->messages[2].bytes;
    ASSERT_EQ(body.size(), 5u + 2u + length);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 7),
              (Bytes{0x43, 0x71, 0x7E, 0x10, 0x03, 0x1F, static_cast<uint8_t>(length)}));
    EXPECT_EQ(std::string(body.begin() + 7, body.end()),
              std::string(title).substr(0, 16) + " " + std::string(title).substr(17));
  }
}

TEST_P(DisklavierRate, AFileWithItsOwnTitleGetsNone) {
  FakeReader r;
  r.SysEx(0, {0x43, 0x71, 0x7E, 0x10, 0x03, 0x02, 'H', 'i', 0xF7}).NoteOn(0, 0, 60, 1);
  auto run = RunDisklavier(r, rate());
  ASSERT_TRUE(run->signal.ok);
  ASSERT_EQ(run->messages.size(), 3u);  // GM on, XG on, the note
  EXPECT_EQ(run->messages[2].bytes, (Bytes{0x90, 60, 30}));
  // A shorter sysex with the same start is not a title message.
  FakeReader s;
  s.SysEx(0, {0x43, 0x71, 0x7E, 0x10}).NoteOn(0, 0, 60, 1);
  EXPECT_EQ(RunDisklavier(s, rate())->messages.size(), 4u);
}

// ---------------------------------------------------------------- ending and errors

TEST_P(DisklavierRate, AccompanimentIsHalfASecondLateAndTheDataWaitsForIt) {
  const size_t n = 2 * rate();  // two seconds: longer than the music
  std::vector<PcmFrame> frames(n, PcmFrame{1200, -400});
  test::FakeAccompaniment acc(frames, 2, rate());
  FakeReader r;
  r.NoteOn(0, 0, 60, 1).NoteOff(480, 0, 60);
  DkOptions opt;
  opt.accompaniment = &acc;
  auto run = RunDisklavier(r, rate(), opt);
  ASSERT_EQ(run->result, Result::kSuccess);
  ASSERT_TRUE(run->signal.ok);
  const auto& left = run->out.Left();
  const size_t delay = rate() / 2;
  for (size_t k = 0; k <= delay; ++k) ASSERT_EQ(left[k], 0) << k;  // the first frame fades from 0
  EXPECT_EQ(left[delay + 1], 1);                                   // 400 * 1 / 400
  EXPECT_EQ(left[delay + 400], 400);
  EXPECT_EQ(left[delay + n - 1], 1);
  for (size_t k = delay + n; k < left.size(); ++k) ASSERT_EQ(left[k], 0);
  // The data ends with the frame in which the recording ended.
  const size_t end = run->signal.dataEnd;
  EXPECT_GE(end, delay + n);
  EXPECT_LT(end - (delay + n), rate() == 48000 ? 320u : 294u);
  EXPECT_EQ(left.size(), end + rate());
}

TEST_P(DisklavierRate, ErrorsStopTheEncode) {
  auto build = [](FakeReader& r) { r.NoteOn(0, 0, 60, 1).NoteOff(4800, 0, 60); };
  for (size_t failAt : {size_t{100}, size_t{5000}, size_t{100000}}) {
    FakeReader r;
    build(r);
    DkOptions opt;
    opt.failAfterFrames = failAt;
    auto run = RunDisklavier(r, rate(), opt);
    EXPECT_EQ(run->result, Result::kWriteError) << failAt;
    EXPECT_EQ(run->out.Size(), failAt);
  }
  {
    FakeReader r;
    build(r);
    DkOptions opt;
    opt.cancelled = true;
    auto run = RunDisklavier(r, rate(), opt);
    EXPECT_EQ(run->result, Result::kCancelled);
    // Only the set-up was written; no partial frame, no closing silence.
    EXPECT_EQ(run->out.Size() % (rate() == 48000 ? 320 : 294),
              DkSeconds(0.02920635, rate()) % (rate() == 48000 ? 320 : 294));
    EXPECT_LT(run->out.Size(), DkSeconds(0.5, rate()));
  }
  {
    FakeReader r;
    build(r);
    r.SetDamagedAt(1);
    EXPECT_EQ(RunDisklavier(r, rate())->result, Result::kSourceDamaged);
  }
}

TEST(Disklavier, OtherSampleRatesFallBackTo44100WithAMessage) {
  FakeReader a, b;
  a.NoteOn(0, 0, 60, 1);
  b.NoteOn(0, 0, 60, 1);
  auto odd = RunDisklavier(a, 22050);
  auto ref = RunDisklavier(b, 44100);
  ASSERT_EQ(odd->result, Result::kSuccess);
  ASSERT_EQ(odd->events.messages.size(), 1u);
  EXPECT_EQ(odd->events.messages[0].second, "Invalid Disklavier sample rate!");
  EXPECT_EQ(odd->encoder.GetSampleRate(), 44100u);
  EXPECT_TRUE(odd->out.Right() == ref->out.Right());
  EXPECT_TRUE(ref->events.messages.empty());
}

TEST(Disklavier, FactoryMakesFormat8) {
  auto e = CreateEncoder(8, {});
  ASSERT_NE(e, nullptr);
  EXPECT_NE(dynamic_cast<CMid2Disklavier*>(e.get()), nullptr);
}

}  // namespace
}  // namespace tonvelo
