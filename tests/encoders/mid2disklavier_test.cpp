// The Disklavier encoder: its tables, the carrier against the long-hand
// frame-buffer rendering, the set-up sequence and the ending, the stream rules
// (escapes, merging, pedals, velocities), the title message and the errors.

#include "encoders/mid2disklavier.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "encoders/disklavier_title.h"
#include "encoders/encoder_factory.h"
#include "tests/support/disklavier_run.h"

namespace tonvelo {
namespace {

using test::DkOptions;
using test::DkSeconds;
using test::FakeReader;
using test::RunDisklavier;
using Bytes = std::vector<uint8_t>;

TEST(DisklavierTables, PhaseTablesAndVelocityMap) {
  auto tables = std::make_unique<CMid2Disklavier::PhaseTables>();
  CMid2Disklavier::BuildPhaseTables(*tables);
  for (int k = 0; k < 16; ++k) {
    for (int i = 0; i < 2240; ++i) {
      const long double exact =
          8192.0L * std::sin(2.0L * M_PIl * (i % 1120) / 1120.0L + k * M_PIl / 8.0L);
      ASSERT_EQ((*tables)[k][i], static_cast<int16_t>(std::trunc(exact))) << k << "," << i;
      // Exact values (0, +-8192) aside, none lies so close to an integer
      // that a libm's last bit could change the truncation.
      const long double frac = std::fabs(exact - std::round(exact));
      ASSERT_TRUE(frac < 1e-9L || frac > 1e-7L) << k << "," << i;
    }
  }
  const uint8_t map[8][16] = {{0, 30, 31, 31, 32, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37},
                              {38, 38, 39, 39, 40, 40, 41, 41, 42, 42, 43, 43, 44, 44, 45, 45},
                              {46, 46, 47, 47, 48, 48, 49, 49, 50, 50, 51, 52, 52, 53, 53, 54},
                              {54, 55, 55, 56, 56, 57, 57, 58, 58, 59, 59, 60, 60, 61, 61, 62},
                              {62, 63, 63, 64, 64, 65, 65, 66, 66, 67, 67, 68, 68, 69, 69, 70},
                              {70, 71, 71, 72, 72, 73, 74, 74, 75, 75, 76, 76, 77, 77, 78, 78},
                              {79, 79, 80, 80, 81, 81, 82, 82, 83, 83, 84, 84, 85, 85, 86, 86},
                              {87, 87, 88, 88, 89, 89, 90, 90, 91, 91, 92, 92, 93, 93, 94, 95}};
  for (int v = 0; v < 128; ++v) {
    EXPECT_EQ(CMid2Disklavier::MapVelocity(v), map[v / 16][v % 16]) << v;
  }
}

class DisklavierRate : public ::testing::TestWithParam<uint32_t> {
 protected:
  uint32_t rate() const { return GetParam(); }
  size_t frameSamples() const { return rate() == 48000 ? 320 : 294; }
};

INSTANTIATE_TEST_SUITE_P(BothRates, DisklavierRate, ::testing::Values(44100u, 48000u),
                         [](const auto& info) { return std::to_string(info.param); });

// Position after k symbols rounds k * rate / 3150 half up; 21 symbols make
// a frame of 294 or 320 samples.
TEST_P(DisklavierRate, PositionAndFrameSamples) {
  test::MemoryOutput out;
  auto enc = std::make_unique<CMid2Disklavier>();
  enc->SetSampleRate(rate());
  enc->SetOutput(&out);
  enc->Initialise();
  for (size_t k = 1; k <= 42; ++k) {
    ASSERT_EQ(enc->Advance(), Result::kSuccess);
    EXPECT_EQ(enc->GetPosition(), test::DkPosition(0, k, rate())) << k;
    EXPECT_EQ(out.Size(), k / 21 * frameSamples()) << k;
  }
}

TEST_P(DisklavierRate, SetUpSequenceTimingAndEnding) {
  FakeReader r;
  r.NoteOn(0, 0, 60, 100).EndOfTrack();
  auto run = RunDisklavier(r, rate());
  ASSERT_EQ(run->result, Result::kSuccess);
  const auto& sig = run->signal;
  ASSERT_TRUE(run->clean) << run->error;
  const size_t lead = rate() == 48000 ? 1402 : 1288;
  EXPECT_EQ(sig.leadSamples, lead);
  EXPECT_EQ(sig.symbols[0].phase, 13);
  EXPECT_EQ(sig.symbols[1].phase, 6);

  const auto& m = run->messages;
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].bytes, (Bytes{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
  EXPECT_EQ(m[1].bytes, (Bytes{0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}));
  EXPECT_EQ(m[2].bytes, (Bytes{0xF0, 0x43, 0x71, 0x7E, 0x10, 0x03, 10, ' ', ' ', ' ', ' ', ' ', ' ', 'S',
                               'o', 'n', 'g', 0xF7}));
  EXPECT_EQ(m[3].bytes, (Bytes{0x90, 60, 81}));
  EXPECT_EQ(m[0].firstUnit, 538u);
  // Each message starts at the first symbol boundary at or after its time.
  size_t at = 0;
  const double times[] = {0.2, 0.275, 0.35, 0.492};
  for (int i = 0; i < 4; ++i) {
    at = test::DkIdleUntil(lead, at, DkSeconds(times[i], rate()), rate());
    EXPECT_EQ(m[i].firstUnit, at) << i;
    at = m[i].endUnit;
  }
  // A quarter second of idle signal, the frame completed, a second of silence.
  size_t tail = test::DkIdleUntil(
      lead, at, test::DkPosition(lead, at, rate()) + DkSeconds(0.25, rate()), rate());
  tail = (tail + 20) / 21 * 21;
  EXPECT_EQ(sig.symbols.size(), tail);
  EXPECT_EQ(sig.endSample, lead + tail / 21 * frameSamples());
  EXPECT_EQ(run->out.Size(), sig.endSample + rate());
  EXPECT_EQ(run->encoder.GetSamplesWritten(), run->out.Size());
  EXPECT_TRUE(run->out.Right() == test::DkReferenceSignal(sig.Values(), lead, rate(), rate()));
}

struct StreamCase {
  const char* name;
  int velocityProfile;
  std::function<void(FakeReader&)> build;
  Bytes stream;  // after the set-up messages; a channel symbol is one entry
};

const StreamCase kStreamCases[] = {
    {"program change: C4, channel symbol, program twice; channels 0-2 play program 0",
     0,
     [](FakeReader& r) {
       r.Program(0, 3, 10).Program(0, 0, 5).Program(0, 9, 20).Program(0, 15, 127);
     },
     {0xC4, 3, 10, 10, 0xC4, 0, 0, 0, 0xC4, 9, 20, 20, 0xC4, 15, 127, 127}},
    {"system exclusive: C0 .. C7; the encoder's own and Yamaha piano messages dropped",
     0,
     [](FakeReader& r) {
       r.SysEx(0, {0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7});
       r.SysEx(0, {0x7E, 0x7F, 0x09, 0x01, 0xF7});
       r.SysEx(0, {0x43, 0x73, 0x01, 0xF7}).SysEx(0, {0x43, 0x7E, 0x01, 0xF7});
       r.SysEx(0, {0x43, 0x71, 0x7B, 0x01, 0xF7}).SysEx(0, {0x43, 0x71, 0x7E, 0x0A, 0x01, 0xF7});
       r.SysEx(0, {0x7E, 0x7F, 0x09, 0x02, 0xF7});  // GM off is passed on
       r.SysEx(0, {0x43, 0x71, 0x7C, 0xF7, 0x10});  // F7 anywhere becomes C7
       r.SysEx(0, {0x43, 0x10, 0x4C, 0xF7}, 0xF7);  // an F7 packet: no start byte, kept
       r.NoteOn(0, 0, 60, 0);                       // velocity 0 stays 0
     },
     {0xC0, 0x7E, 0x7F, 0x09, 0x02, 0xC7, 0xC0, 0x43, 0x71, 0x7C, 0xC7, 0x10, 0x43, 0x10, 0x4C,
      0xC7, 0x90, 60, 0}},
    {"full-range velocities mapped on merged channels only",
     0,
     [](FakeReader& r) {
       r.NoteOn(0, 0, 60, 1).NoteOn(0, 5, 61, 127).NoteOn(0, 9, 36, 100).NoteOff(0, 0, 60);
     },
     {0x90, 60, 30, 0x90, 61, 95, 0x99, 36, 100, 0x80, 60, 0x40}},
    {"Disklavier-range velocities kept",
     1,
     [](FakeReader& r) { r.NoteOn(0, 0, 60, 1).NoteOn(0, 5, 61, 127); },
     {0x90, 60, 1, 0x90, 61, 127}},
    {"a non-piano program unmerges a channel; percussion never merges",
     0,
     [](FakeReader& r) {
       r.NoteOn(0, 3, 60, 64).Program(0, 3, 8).NoteOn(0, 3, 61, 64).Program(0, 3, 2);
       r.NoteOn(0, 3, 62, 64).Program(0, 1, 40).NoteOn(0, 1, 63, 64).Program(0, 9, 0);
       r.NoteOn(0, 9, 64, 64).Channel(0, 0xE3, {0, 0x40});
     },
     {0x90, 60, 62, 0xC4, 3,    8,  8,  0x93, 61, 64, 0xC4, 3,    2,  2,  0x90, 62, 62,
      0xC4, 1,  0,  0,    0x90, 63, 62, 0xC4, 9,  0,  0,    0x99, 64, 64, 0xE0, 0,  0x40}},
    {"only the pedal channels move the pedals of merged channels",
     0,
     [](FakeReader& r) {
       // Channel 2 pedals most; channel 4 presses the soft pedal most.
       r.Control(0, 2, 64, 127).Control(0, 2, 64, 0).Control(0, 1, 64, 127);
       r.Control(0, 4, 67, 127).Control(0, 4, 67, 0).Control(0, 2, 67, 127);
       r.Control(0, 9, 64, 127).Control(0, 1, 7, 100);
       r.Program(0, 6, 20).Control(0, 6, 64, 127);
     },
     {0xB0, 64,  127,  0xB0, 64,  0,    0xB0, 67, 127, 0xB0, 67, 0,  0xB9,
      64,   127, 0xB0, 7,    100, 0xC4, 6,    20, 20,  0xB6, 64, 127}},
    {"pressure and system statuses dropped, metas ignored",
     0,
     [](FakeReader& r) {
       r.Channel(0, 0xA0, {60, 10}).Channel(0, 0xD0, {10}).Channel(0, 0xF7, {});
       r.Channel(0, 0xFE, {}).Meta(0, 0x51, {7, 0xA1, 0x20}).NoteOn(0, 0, 60, 1);
     },
     {0x90, 60, 30}},
    {"key pressure kept for a Disklavier-range source",
     1,
     [](FakeReader& r) {
       r.Channel(0, 0xA0, {60, 10}).Channel(0, 0xD0, {10}).NoteOn(0, 0, 60, 1);
     },
     {0xA0, 60, 10, 0x90, 60, 1}},
};

TEST_P(DisklavierRate, StreamRules) {
  for (const StreamCase& c : kStreamCases) {
    SCOPED_TRACE(c.name);
    FakeReader r;
    c.build(r);
    DkOptions opt;
    opt.velocityProfile = c.velocityProfile;
    auto run = RunDisklavier(r, rate(), opt);
    ASSERT_EQ(run->result, Result::kSuccess);
    ASSERT_TRUE(run->clean) << run->error;
    ASSERT_GE(run->messages.size(), 3u);
    Bytes stream;
    for (const auto& it : run->items) {
      if (it.symbol >= run->messages[2].endUnit) stream.push_back(it.value);
    }
    EXPECT_EQ(stream, c.stream);
    EXPECT_TRUE(run->out.Right() ==
                test::DkReferenceSignal(run->signal.Values(), run->signal.leadSamples, rate(), rate()));
  }
}

std::string Pad(const std::string& line) { return line + std::string(16 - line.size(), ' '); }

TEST(DisklavierTitle, LayoutAndMessage) {
  struct Case {
    const char* title;
    const char *line1, *line2;
    size_t length;
  };
  for (const Case& c : {
           Case{"My_Song", "    My Song", "", 11},
           Case{"  Two__Spaces ", "   Two Spaces", "", 13},  // runs collapse, ends trimmed
           Case{"", "", "", 1},
           // The word crossing column 15 moves down, the space stays with line
           // 1, and both lines take the offset of the longer.
           Case{"Gymnopedie Number One", "  Gymnopedie", "  Number One", 28},
           Case{"Moonlight Sonata Adagio", "Moonlight Sonata", " Adagio", 23},
           Case{"The Entertainer Rag", "The Entertainer", "Rag", 19},
           // Ten or more characters to go: only columns 9..14 are searched.
           Case{"A Supercalifragilistic Word", "A Supercalifragi", "listic Word", 27},
           // Fewer: the break at column 1 is taken; the text stops at 32.
           Case{"A Supercalifragilistic", "A", "Supercalifragili", 32},
       }) {
    std::array<char, kTitleColumns> cols;
    EXPECT_EQ(disklavier_title_layout(c.title, cols), c.length) << c.title;
    EXPECT_EQ(std::string(cols.begin(), cols.end()), Pad(c.line1) + Pad(c.line2)) << c.title;
  }
  const auto m = disklavier_title_message("My_Song");
  EXPECT_EQ(Bytes(m.bytes.begin(), m.bytes.begin() + m.size),
            (Bytes{0xC0, 0x43, 0x71, 0x7E, 0x10, 0x03, 11, ' ', ' ', ' ', ' ', 'M', 'y', ' ', 'S',
                   'o', 'n', 'g', 0xC7}));
  EXPECT_EQ(disklavier_title_message("ABCDEFGHIJKLMNOP QRSTUVWXYZABCDEF").size, 40u);
}

TEST_P(DisklavierRate, TitleEscapesAndAFileWithItsOwnTitle) {
  for (std::string title : {"ABCDEFGHIJKLMNOP QRSTUVWXYZABC", "ABCDEFGHIJKLMNOP QRSTUVWXYZABCD"}) {
    FakeReader r;
    r.NoteOn(0, 0, 60, 1);
    DkOptions opt;
    opt.title = title;
    const Bytes body = RunDisklavier(r, rate(), opt)->messages.at(2).bytes;
    const auto length = static_cast<uint8_t>(title.size());  // 30 and 31: escaped with 1F
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 8),
              (Bytes{0xF0, 0x43, 0x71, 0x7E, 0x10, 0x03, 0x1F, length}));
    EXPECT_EQ(std::string(body.begin() + 8, body.end() - 1), title);
  }
  FakeReader own;  // no title is generated, and the file's own is dropped
  own.SysEx(0, {0x43, 0x71, 0x7E, 0x10, 0x03, 0x02, 'H', 'i', 0xF7}).NoteOn(0, 0, 60, 1);
  auto run = RunDisklavier(own, rate());
  ASSERT_EQ(run->messages.size(), 3u);
  EXPECT_EQ(run->messages[2].bytes, (Bytes{0x90, 60, 30}));
  FakeReader shorter;  // four bytes are not a title message
  shorter.SysEx(0, {0x43, 0x71, 0x7E, 0x10}).NoteOn(0, 0, 60, 1);
  EXPECT_EQ(RunDisklavier(shorter, rate())->messages.size(), 4u);
}

TEST_P(DisklavierRate, ErrorsStopTheEncode) {
  auto reader = [] {
    auto r = std::make_unique<FakeReader>();
    r->NoteOn(0, 0, 60, 1).NoteOff(4800, 0, 60);
    return r;
  };
  for (size_t failAt : {size_t{100}, size_t{5000}, size_t{100000}}) {
    DkOptions opt;
    opt.failAfterFrames = failAt;
    auto run = RunDisklavier(*reader(), rate(), opt);
    EXPECT_EQ(run->result, Result::kWriteError) << failAt;
    EXPECT_EQ(run->out.Size(), failAt);
  }
  DkOptions opt;
  opt.cancelled = true;
  auto run = RunDisklavier(*reader(), rate(), opt);
  EXPECT_EQ(run->result, Result::kCancelled);
  // The set-up's whole frames only: no partial frame, no closing silence.
  EXPECT_EQ((run->out.Size() - DkSeconds(0.02920635, rate())) % frameSamples(), 0u);
  EXPECT_LT(run->out.Size(), DkSeconds(0.5, rate()));
  auto damaged = reader();
  damaged->SetDamagedAt(1);
  EXPECT_EQ(RunDisklavier(*damaged, rate())->result, Result::kSourceDamaged);
}

TEST(Disklavier, OtherRatesFallBackTo44100WithAMessageAndFactoryMakesFormat8) {
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
  auto e = CreateEncoder(8, {});
  EXPECT_NE(dynamic_cast<CMid2Disklavier*>(e.get()), nullptr);
}

}  // namespace
}  // namespace tonvelo
