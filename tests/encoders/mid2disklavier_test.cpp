// The Disklavier encoder: its velocity map, the set-up sequence, timing and
// ending with the carrier sample-exact, the stream rules, the title, the
// errors of every stream encoder.

#include "encoders/mid2disklavier.h"

#include <gtest/gtest.h>

#include "encoders/disklavier_title.h"
#include "tests/support/fake_accompaniment.h"
#include "tests/support/stream_run.h"

namespace tonvelo {
namespace {

using test::RunEncoder;
using test::Text;

TEST(Disklavier, VelocityMap) {
  const uint8_t map[8][16] = {{0, 30, 31, 31, 32, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37},
                              {38, 38, 39, 39, 40, 40, 41, 41, 42, 42, 43, 43, 44, 44, 45, 45},
                              {46, 46, 47, 47, 48, 48, 49, 49, 50, 50, 51, 52, 52, 53, 53, 54},
                              {54, 55, 55, 56, 56, 57, 57, 58, 58, 59, 59, 60, 60, 61, 61, 62},
                              {62, 63, 63, 64, 64, 65, 65, 66, 66, 67, 67, 68, 68, 69, 69, 70},
                              {70, 71, 71, 72, 72, 73, 74, 74, 75, 75, 76, 76, 77, 77, 78, 78},
                              {79, 79, 80, 80, 81, 81, 82, 82, 83, 83, 84, 84, 85, 85, 86, 86},
                              {87, 87, 88, 88, 89, 89, 90, 90, 91, 91, 92, 92, 93, 93, 94, 95}};
  for (int v = 0; v < 128; ++v)
    EXPECT_EQ(CMid2Disklavier::MapVelocity(v), map[v / 16][v % 16]) << v;
}

// Output position after k symbols from `lead`, k * rate / 3150 samples
// rounded half up; the symbol count at which idling from `from` reaches `target`.
size_t Position(size_t lead, size_t k, uint32_t rate) {
  return lead + (2 * k * rate + 3150) / 6300;
}
size_t IdleUntil(size_t lead, size_t from, size_t target, uint32_t rate) {
  while (Position(lead, from, rate) < target) ++from;
  return from;
}

// Symbol values rendered the long way: output sample m of a frame is point
// m * 160 (44.1 kHz) or m * 147 (48 kHz) of the frame's 21 two-cycle symbol
// tables laid end to end; `lead` zeros before, a second of silence after.
std::vector<int16_t> Reference(const std::vector<uint8_t>& values, size_t lead, uint32_t rate) {
  constexpr uint8_t kIncrement[16] = {3, 4, 12, 11, 2, 5, 13, 10, 0, 7, 15, 8, 1, 6, 14, 9};
  std::vector<int16_t> out(lead, 0);
  uint32_t phase[21], p = 4;  // the carrier phase before the first symbol
  for (size_t f = 0; f + 21 <= values.size(); f += 21) {
    for (size_t s = 0; s < 21; ++s) phase[s] = p = (p + kIncrement[values[f + s]]) % 16;
    for (size_t j = 0; j < 47040; j += rate == 48000 ? 147 : 160) {
      out.push_back(static_cast<int16_t>(
          8192.0 * std::sin(2.0 * M_PI * (j % 1120) / 1120.0 + phase[j / 2240] * M_PI / 8.0)));
    }
  }
  out.insert(out.end(), rate, 0);
  return out;
}

class DisklavierTest : public test::StreamTest {
 protected:
  size_t frameSamples() const { return Rate() / 150; }
  void ExpectReference() {
    EXPECT_TRUE(run_->out.Right() == Reference(run_->dk.Values(), run_->dk.leadSamples, Rate()));
  }
};

INSTANTIATE_TEST_SUITE_P(BothRates, DisklavierTest,
                         testing::Combine(testing::Values(44100u, 48000u), testing::Values(8)));

TEST_P(DisklavierTest, SetUpSequenceTimingAndEnding) {
  const auto& sig = Run("90 3C 64").dk;
  const size_t lead = Rate() == 48000 ? 1402 : 1288;
  EXPECT_EQ(sig.leadSamples, lead);
  EXPECT_EQ(sig.symbols.at(0).phase, 13);
  EXPECT_EQ(sig.symbols.at(1).phase, 6);
  const auto& m = run_->msgs;
  ASSERT_EQ(Text(m),
            "F0 7E 7F 09 01 F7 | F0 43 10 4C 00 00 7E 00 F7 | "
            "F0 43 71 7E 10 03 0A 20 20 20 20 20 20 53 6F 6E 67 F7 | 90 3C 51");
  EXPECT_EQ(m[0].firstUnit, 538u);
  // Each message starts at the first symbol boundary at or after its time.
  size_t at = 0;
  const double times[] = {0.2, 0.275, 0.35, 0.492};
  for (int i = 0; i < 4; ++i) {
    at = IdleUntil(lead, at, Frames(times[i]), Rate());
    EXPECT_EQ(m[i].firstUnit, at) << i;
    at = m[i].endUnit;
  }
  // A quarter second of idle signal, the frame completed, a second of silence.
  size_t tail = IdleUntil(lead, at, Position(lead, at, Rate()) + Frames(0.25), Rate());
  tail = (tail + 20) / 21 * 21;
  EXPECT_EQ(sig.symbols.size(), tail);
  EXPECT_EQ(sig.endSample, lead + tail / 21 * frameSamples());
  EXPECT_EQ(run_->out.Size(), sig.endSample + Rate());
  EXPECT_EQ(static_cast<CMid2Disklavier&>(*run_->encoder).GetSamplesWritten(), run_->out.Size());
  ExpectReference();
}

// The recording plays on the left half a second late; the data runs to the
// end of the frame in which it ends, then a second of silence.
TEST_P(DisklavierTest, AccompanimentLeftHalfASecondLateAndTheEndWaitsForIt) {
  const size_t n = Rate(), delay = Rate() / 2;
  auto acc = test::FakeAccompaniment::Mono(std::vector<int16_t>(n, 1000), Rate());
  const auto& left = Run("90 3C 64", {.accompaniment = &acc}).out.Left();
  for (size_t k = 0; k < left.size(); ++k)
    ASSERT_EQ(k > delay && k < delay + n ? 0 : left[k], 0) << k;
  EXPECT_EQ(left[delay + 200], 500);  // faded in and out over 400 frames
  EXPECT_EQ(left[delay + n - 1], 2);
  EXPECT_GE(run_->dk.endSample, delay + n);
  EXPECT_LT(run_->dk.endSample, delay + n + frameSamples());
  EXPECT_EQ(left.size(), run_->dk.endSample + Rate());
}

// The raw stream after the title (a channel symbol is one entry).
TEST_P(DisklavierTest, StreamRules) {
  struct Case {
    const char* name;
    int profile;
    const char *events, *stream;
  };
  const Case cases[] = {
      {"program change: C4, channel symbol, program twice; channels 0-2 play program 0", 0,
       "C3 0A, C0 05, C9 14, CF 7F", "C4 03 0A 0A C4 00 00 00 C4 09 14 14 C4 0F 7F 7F"},
      // GM off, F7 inside a message and an F7 packet (no start byte) are
      // passed on; the encoder's own and Yamaha piano messages are dropped.
      {"system exclusive: C0 .. C7", 0,
       "F0 43 10 4C 00 00 7E 00 F7, F0 7E 7F 09 01 F7, F0 43 73 01 F7, F0 43 7E 01 F7, "
       "F0 43 71 7B 01 F7, F0 43 71 7E 0A 01 F7, F0 7E 7F 09 02 F7, F0 43 71 7C F7 10, "
       "F7 43 10 4C F7, 90 3C 00",
       "C0 7E 7F 09 02 C7 C0 43 71 7C C7 10 43 10 4C C7 90 3C 00"},
      {"full-range velocities mapped on merged channels only", 0,
       "90 3C 01, 95 3D 7F, 99 24 64, 80 3C 40", "90 3C 1E 90 3D 5F 99 24 64 80 3C 40"},
      {"Disklavier-range velocities kept", 1, "90 3C 01, 95 3D 7F", "90 3C 01 90 3D 7F"},
      {"a non-piano program unmerges a channel; percussion never merges", 0,
       "93 3C 40, C3 08, 93 3D 40, C3 02, 93 3E 40, C1 28, 91 3F 40, C9 00, 99 40 40, E3 00 40",
       "90 3C 3E C4 03 08 08 93 3D 40 C4 03 02 02 90 3E 3E C4 01 00 00 90 3F 3E C4 09 00 00 "
       "99 40 40 E0 00 40"},
      // Channel 2 pedals most; channel 4 presses the soft pedal most.
      {"only the pedal channels move the pedals of merged channels", 0,
       "B2 40 7F, B2 40 00, B1 40 7F, B4 43 7F, B4 43 00, B2 43 7F, B9 40 7F, B1 07 64, C6 14, "
       "B6 40 7F",
       "B0 40 7F B0 40 00 B0 43 7F B0 43 00 B9 40 7F B0 07 64 C4 06 14 14 B6 40 7F"},
      {"pressure and system statuses dropped, metas ignored", 0,
       "A0 3C 0A, D0 0A, F7, FE, FF 51 07 A1 20, 90 3C 01", "90 3C 1E"},
      {"key pressure kept for a Disklavier-range source", 1, "A0 3C 0A, D0 0A, 90 3C 01",
       "A0 3C 0A 90 3C 01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run(c.events, {.profile = c.profile});
    std::vector<uint8_t> stream;
    for (const auto& it : run_->dk.items) {
      if (it.symbol >= run_->msgs.at(2).endUnit) stream.push_back(it.value);
    }
    EXPECT_EQ(HexBytes(stream), c.stream);
    ExpectReference();
  }
}

TEST(DisklavierTitle, LayoutAndMessage) {
  auto pad = [](const std::string& line) { return line + std::string(16 - line.size(), ' '); };
  struct Case {
    const char *title, *line1, *line2;
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
    EXPECT_EQ(std::string(cols.begin(), cols.end()), pad(c.line1) + pad(c.line2)) << c.title;
  }
  const auto m = disklavier_title_message("My_Song");
  EXPECT_EQ(HexBytes({m.bytes.begin(), m.bytes.begin() + m.size}),
            "C0 43 71 7E 10 03 0B 20 20 20 20 4D 79 20 53 6F 6E 67 C7");
  EXPECT_EQ(disklavier_title_message("ABCDEFGHIJKLMNOP QRSTUVWXYZABCDEF").size, 40u);
}

TEST_P(DisklavierTest, TitleEscapesAndAFileWithItsOwnTitle) {
  // Lengths 30 and 31 are the display's control codes: escaped with 1F.
  for (std::string title : {"ABCDEFGHIJKLMNOP QRSTUVWXYZABC", "ABCDEFGHIJKLMNOP QRSTUVWXYZABCD"}) {
    const auto body = Run("90 3C 01", {.title = title}).msgs.at(2).bytes;
    EXPECT_EQ(HexBytes({body.begin(), body.begin() + 8}),
              "F0 43 71 7E 10 03 1F " + HexBytes({static_cast<uint8_t>(title.size())}));
    EXPECT_EQ(std::string(body.begin() + 8, body.end() - 1), title);
  }
  // No title is generated for a file with its own, and its own is dropped;
  // four bytes are not a title message.
  EXPECT_EQ(Text(Run("F0 43 71 7E 10 03 02 48 69 F7, 90 3C 01").msgs),
            "F0 7E 7F 09 01 F7 | F0 43 10 4C 00 00 7E 00 F7 | 90 3C 1E");
  EXPECT_EQ(Run("F0 43 71 7E 10, 90 3C 01").msgs.size(), 4u);
}

// Every stream encoder stops on a write failure (keeping what was written),
// on damage and when cancelled.
TEST(StreamEncoders, ErrorsStopTheEncode) {
  for (int id : {4, 5, 7, 8}) {
    for (uint32_t rate : {44100u, 48000u}) {
      SCOPED_TRACE(std::to_string(id) + " " + std::to_string(rate));
      const char* song = "90 3C 01, @4800 80 3C 40";
      for (size_t failAt : {100, 5000, 20000, 100000}) {
        auto run = RunEncoder(id, song, rate, {.failAfter = failAt});
        EXPECT_EQ(run->result, Result::kWriteError) << failAt;
        EXPECT_EQ(run->out.Size(), failAt);
      }
      auto run = RunEncoder(id, song, rate, {.cancelled = true});
      EXPECT_EQ(run->result, Result::kCancelled);
      EXPECT_LT(run->out.Size(), test::Frames(0.8, rate));
      // Disklavier: the set-up's whole frames only, no closing silence.
      if (id == 8) {
        EXPECT_EQ((run->out.Size() - test::Frames(0.02920635, rate)) % (rate / 150), 0u);
      }
      test::FakeReader damaged;
      test::Feed(damaged, song).SetDamagedAt(1);
      EXPECT_EQ(RunEncoder(id, "", rate, {.source = &damaged})->result, Result::kSourceDamaged);
    }
  }
}

TEST(Disklavier, OtherRatesFallBackTo44100WithAMessage) {
  auto odd = RunEncoder(8, "90 3C 01", 22050);
  ASSERT_EQ(odd->result, Result::kSuccess);
  ASSERT_EQ(odd->events.messages.size(), 1u);
  EXPECT_EQ(odd->events.messages[0].second, "Invalid Disklavier sample rate!");
  EXPECT_EQ(odd->encoder->GetSampleRate(), 44100u);
  auto ref = RunEncoder(8, "90 3C 01", 44100);
  EXPECT_TRUE(odd->out.Right() == ref->out.Right());
  EXPECT_TRUE(ref->events.messages.empty());
}

}  // namespace
}  // namespace tonvelo
