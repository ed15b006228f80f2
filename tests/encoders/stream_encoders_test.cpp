// The stream encoders, PianoDisc (4 Silent Drive Plus, 5 Classic), MIDI-serial
// (7) and Disklavier (8), run over in-memory events and read back with the
// product decoders: set-up, timing and ending; the stream rules as one table
// of events and expected streams, in hex; titles, accompaniment and errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "decoders/disklavier_decoder.h"
#include "decoders/midi_serial_decoder.h"
#include "decoders/pianodisc_decoder.h"
#include "encoders/disklavier_title.h"
#include "encoders/encoder_factory.h"
#include "encoders/mid2disklavier.h"
#include "encoders/mid2pianodisc.h"
#include "tests/support/fake_accompaniment.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/recording_events.h"

namespace tonvelo {
namespace {

// "90 3C 40, @480 B0 40 7F": hex messages, "@n" a delta in ticks; F0 or F7
// with a body is system exclusive, FF a meta event, the rest channel events.
test::FakeReader& Feed(test::FakeReader& r, const std::string& text) {
  std::istringstream in(text);
  for (std::string msg; std::getline(in, msg, ',');) {
    std::istringstream words(msg);
    uint32_t delta = 0;
    std::vector<uint8_t> b;
    for (std::string w; words >> w;) {
      if (w[0] == '@') delta = static_cast<uint32_t>(std::stoul(w.substr(1)));
      if (w[0] != '@') b.push_back(static_cast<uint8_t>(std::stoul(w, nullptr, 16)));
    }
    const bool sysex = (b.at(0) == 0xF0 || b[0] == 0xF7) && b.size() > 1;
    if (b[0] == 0xFF) r.Meta(delta, b[1], {b.begin() + 2, b.end()});
    if (sysex) r.SysEx(delta, {b.begin() + 1, b.end()}, b[0]);
    if (!sysex && b[0] != 0xFF) r.Channel(delta, b[0], {b.begin() + 1, b.end()});
  }
  return r;
}

struct RunOptions {
  int profile = 0;
  std::string title = "Song";
  CPCMIn* accompaniment = nullptr;
  bool cancelled = false;
  size_t failAfter = SIZE_MAX;
  CMusicFile2MID* source = nullptr;  // in place of the events
};

struct StreamRun {
  test::FakeReader src;
  test::MemoryOutput out;
  test::RecordingEvents events;
  CancelFlag cancel{0};
  std::unique_ptr<CTonveloFormat> encoder;
  Result result = Result::kSuccess;
  std::vector<StreamMessage> msgs;  // as the decoder reports them
  DisklavierDetail dk;
  PianoDiscDetail pd;
  std::string error;  // empty: the decoder found the format and no fault
};

// Encodes Feed(`events`) (or `o.source`) and decodes the data channel. A Disklavier stream
// may hold odd SysEx, so it is judged by its signal: a full-scale carrier, then silence.
std::unique_ptr<StreamRun> RunEncoder(int id, const std::string& events, uint32_t rate,
                                      const RunOptions& o = {}) {
  auto run = std::make_unique<StreamRun>();
  Feed(run->src, events);
  run->out.FailAfter(o.failAfter);
  run->cancel = o.cancelled ? 1 : 0;
  CTonveloFormat& e = *(run->encoder = CreateEncoder(id, {}));
  e.SetSampleRate(rate);
  e.SetVelocityProfile(o.profile);
  e.SetNotifyWindow(&run->events);
  e.SetOutput(&run->out);
  e.SetAccompaniment(o.accompaniment);
  e.SetSource(o.source ? o.source : &run->src);
  e.SetCancelFlag(&run->cancel);
  e.SetTitle(o.title);
  run->result = e.Encode();
  rate = e.GetSampleRate();
  const auto& data = id == 7 ? run->out.Left() : run->out.Right();
  MidiSerialDetail serial;
  const DecodedTrack t = id == 7 ? DecodeMidiSerial(data.data(), data.size(), rate, &serial)
                         : id == 8 ? DecodeDisklavier(data.data(), data.size(), rate, &run->dk)
                                   : DecodePianoDisc(data.data(), data.size(), rate, &run->pd);
  run->msgs = id == 7 ? serial.messages : id == 8 ? run->dk.messages : run->pd.messages;
  const auto& s = run->dk;
  if (id == 8 && (s.worstPhaseErrorDegrees > 0.6 || std::fabs(s.minLevel - 8192) > 4 ||
                  std::fabs(s.maxLevel - 8192) > 4 ||
                  std::count(data.begin() + std::min<size_t>(s.endSample, data.size()),
                             data.end(), 0) != data.end() - data.begin() - s.endSample)) {
    run->error = "distorted symbols or signal after the data";
  }
  if (id != 8 && !t.errors.empty()) run->error = t.errors[0].text;
  if (t.formatId != id) run->error += " found format " + std::to_string(t.formatId);
  return run;
}

// Messages as "3:F0 7E 7F | 90 3C 40 | (90) 3E 40": MIDI-serial sync
// symbols before a colon, a running status in parentheses.
std::string Text(const std::vector<StreamMessage>& msgs) {
  std::string s;
  for (const auto& m : msgs) {
    std::string t = HexBytes(m.bytes);
    if (!m.statusSent) t = "(" + t.substr(0, 2) + ")" + t.substr(2);
    s += (s.empty() ? "" : " | ") + (m.syncs ? std::to_string(m.syncs) + ":" : "") + t;
  }
  return s;
}

// trunc(s * rate + 0.5), worked out independently of the framework.
uint32_t Frames(double s, uint32_t rate) { return static_cast<uint32_t>(s * rate + 0.5); }

// Disklavier symbol values rendered the long way: output sample m of a frame
// is point m * 160 (44.1 kHz) or m * 147 (48 kHz) of the frame's 21 two-cycle
// symbol tables laid end to end; `lead` zeros before, a second of silence after.
std::vector<int16_t> DkReference(const std::vector<uint8_t>& values, size_t lead, uint32_t rate) {
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

// Disklavier position after k symbols from `lead` (k * rate / 3150 samples, rounded half
// up); the symbol count at which idling from `from` reaches `target`.
size_t DkPosition(size_t lead, size_t k, uint32_t rate) { return lead + (k * rate + 1575) / 3150; }
size_t DkIdleUntil(size_t lead, size_t from, size_t target, uint32_t rate) {
  while (DkPosition(lead, from, rate) < target) ++from;
  return from;
}

// Tests over (sample rate, format id).
class StreamTest : public testing::TestWithParam<std::tuple<uint32_t, int>> {
 protected:
  uint32_t Rate() const { return std::get<0>(GetParam()); }
  int Id() const { return std::get<1>(GetParam()); }
  uint32_t Frames(double s) const { return tonvelo::Frames(s, Rate()); }
  // A Disklavier or MIDI-serial symbol, a long PianoDisc half-cycle.
  double Unit() const { return Rate() / (Id() == 8 ? 3150.0 : Id() == 7 ? 3425.0 : 4009.0); }
  const StreamRun& Run(const std::string& events, const RunOptions& o = {}) {
    run_ = RunEncoder(Id(), events, Rate(), o);
    EXPECT_EQ(run_->result, Result::kSuccess);
    EXPECT_EQ(run_->error, "");
    return *run_;
  }
  // The music's messages: PianoDisc's from 0.755 s to the closing three
  // pedals-off, MIDI-serial's after the set-up's silent note to the closing syncs.
  std::vector<StreamMessage> Music() const {
    const auto& m = run_->msgs;
    auto from = std::find_if(m.begin(), m.end(), [&](const StreamMessage& s) {
      return Id() == 7 ? s.syncs == 1 && s.bytes == std::vector<uint8_t>{0, 0}
                       : s.startSample >= Frames(0.755);
    });
    if (Id() == 7 && from != m.end()) ++from;
    return {from, std::max(from, m.end() - (Id() == 7 ? 1 : 3))};
  }
  // Disklavier: the raw stream after the title (a channel symbol is one
  // entry), and the signal equal to its long-hand rendering.
  std::string DkStream() const {
    std::vector<uint8_t> stream;
    for (const auto& it : run_->dk.items) {
      if (it.symbol >= run_->msgs.at(2).endUnit) stream.push_back(it.value);
    }
    EXPECT_TRUE(run_->out.Right() == DkReference(run_->dk.Values(), run_->dk.leadSamples, Rate()));
    return HexBytes(stream);
  }
  std::unique_ptr<StreamRun> run_;
};

class StreamRules : public StreamTest {};
class DisklavierTest : public StreamTest {};
class PianoDiscTest : public StreamTest {};
class MidiManTest : public StreamTest {};
const auto kRates = testing::Values(44100u, 48000u);
INSTANTIATE_TEST_SUITE_P(All, StreamRules, testing::Combine(kRates, testing::Values(4, 5, 7, 8)));
INSTANTIATE_TEST_SUITE_P(Both, DisklavierTest, testing::Combine(kRates, testing::Values(8)));
INSTANTIATE_TEST_SUITE_P(Both, PianoDiscTest, testing::Combine(kRates, testing::Values(4, 5)));
INSTANTIATE_TEST_SUITE_P(Both, MidiManTest, testing::Combine(kRates, testing::Values(7)));

// Events in, the music's stream out, per encoder (4 stands for both PianoDiscs).
TEST_P(StreamRules, EventsBecomeTheExpectedStream) {
  struct Case { int id, profile; const char* name; std::string events, stream; };
  std::vector<Case> cases = {
      {8, 0, "program change: C4, channel symbol, program twice; channels 0-2 play program 0",
       "C3 0A, C0 05, C9 14, CF 7F", "C4 03 0A 0A C4 00 00 00 C4 09 14 14 C4 0F 7F 7F"},
      {8, 0, "GM off, F7 anywhere and F7 packets kept as C0 .. C7; own and Yamaha piano dropped",
       "F0 43 10 4C 00 00 7E 00 F7, F0 7E 7F 09 01 F7, F0 43 73 01 F7, F0 43 7E 01 F7, "
       "F0 43 71 7B 01 F7, F0 43 71 7E 0A 01 F7, F0 7E 7F 09 02 F7, F0 43 71 7C F7 10, "
       "F7 43 10 4C F7, 90 3C 00",
       "C0 7E 7F 09 02 C7 C0 43 71 7C C7 10 43 10 4C C7 90 3C 00"},
      {8, 0, "full-range velocities mapped on merged channels only",
       "90 3C 01, 95 3D 7F, 99 24 64, 80 3C 40", "90 3C 1E 90 3D 5F 99 24 64 80 3C 40"},
      {8, 1, "Disklavier-range velocities kept", "90 3C 01, 95 3D 7F", "90 3C 01 90 3D 7F"},
      {8, 0, "a non-piano program unmerges a channel; percussion never merges",
       "93 3C 40, C3 08, 93 3D 40, C3 02, 93 3E 40, C1 28, 91 3F 40, C9 00, 99 40 40, E3 00 40",
       "90 3C 3E C4 03 08 08 93 3D 40 C4 03 02 02 90 3E 3E C4 01 00 00 90 3F 3E C4 09 00 00 "
       "99 40 40 E0 00 40"},
      {8, 0, "pedals of merged channels from the busiest channel only (2 sustain, 4 soft)",
       "B2 40 7F, B2 40 00, B1 40 7F, B4 43 7F, B4 43 00, B2 43 7F, B9 40 7F, B1 07 64, C6 14, "
       "B6 40 7F",
       "B0 40 7F B0 40 00 B0 43 7F B0 43 00 B9 40 7F B0 07 64 C4 06 14 14 B6 40 7F"},
      {8, 0, "pressure and system statuses dropped, metas ignored",
       "A0 3C 0A, D0 0A, F7, FE, FF 51 07 A1 20, 90 3C 01", "90 3C 1E"},
      {8, 1, "key pressure kept for a Disklavier-range source", "A0 3C 0A, D0 0A, 90 3C 01",
       "A0 3C 0A 90 3C 01"},
      {4, 0, "running status kept across idle time and SysEx",
       "90 3C 40, 90 3E 40, @960 90 40 40, F0 FF 00 F7, 90 41 40, @480 80 3C 40, 91 43 40",
       "90 3C 40 | (90) 3E 40 | (90) 40 40 | F0 FF 00 F7 | (90) 41 40 | 80 3C 40 | 90 43 40"},
      {4, 1, "programs merge and unmerge channel 2; percussion never merges; pedals on change "
             "only, sustain from channel 0 alone; other controllers, pressure, bend dropped",
       "B0 40 64, B0 40 78, B1 40 00, C2 0A, 92 3C 28, B2 40 0A, C2 03, 92 3C 28, 99 24 28, "
       "B0 42 46, B0 07 5A, B0 01 5A, B0 66 05, E0 00 50, D0 50, A0 3C 50, B0 40 00",
       "B0 40 7F | C2 0A | 92 3C 28 | B2 40 00 | C2 03 | 90 3C 14 | 99 24 28 | B0 42 7F | "
       "(B0) 07 5A"},
      {7, 1, "the file's GM on kept, Yamaha piano SysEx dropped, other SysEx framed breaking the "
             "chain; programs merge and unmerge; controllers filtered, pedals on change only "
             "(sustain on 0, soft on 2, the busiest); pressure and bend dropped",
       "F0 7E 7F 09 01 F7, @480 F0 43 71 7E 10 F7, 90 3C 40, F0 41 10 F7, 90 3E 40, @480 93 3C 28, "
       "@480 C3 14, @480 93 3C 28, @480 C3 02, @480 93 3C 28, @480 99 24 7F, @480 C9 00, "
       "@480 99 24 7F, @480 B0 40 64, @480 B0 40 5A, @480 B0 40 0A, @480 B1 40 7F, @480 B2 43 50, "
       "@480 B2 43 5A, @480 B0 43 50, @480 B0 42 00, @480 B0 42 40, @480 B0 07 5A, @480 B0 01 5A, "
       "@480 B0 66 05, @480 B0 6C 06, @480 B0 6D 07, @480 E0 00 50, @480 D0 50, @480 A0 3C 50, "
       "@480 B0 40 00",
       "3:F0 7E 7F 09 01 F7 | 1:08 3C | 3:F0 41 10 F7 | 1:08 3E | 1:02 3C | 3:C3 14 | 1:35 3C | "
       "3:C3 02 | 1:02 3C | 1:9F 24 | 3:C9 00 | 1:9F 24 | 3:B0 40 7F | 3:B0 40 00 | 3:B0 43 7F | "
       "3:B0 42 7F | 3:B0 07 5A | 3:B0 66 05 | 3:B0 6C 06"},
      {7, 0, "velocity codes of 8 (0 note off, 1 below 16)", "",
       "1:01 3C | 1:01 3C | 1:01 3C | 1:02 3C | 1:02 3C | 1:05 3C | 1:08 3C | 1:0B 3C | 1:0D 3C | "
       "1:0F 3C | 1:00 3C"},
      {7, 1, "velocity codes of expanded velocities 1, 1, 1, 1, 1, 20, 66, 127, 127, 127, 0", "",
       "1:01 3C | 1:01 3C | 1:01 3C | 1:01 3C | 1:01 3C | 1:02 3C | 1:08 3C | 1:0F 3C | 1:0F 3C | "
       "1:0F 3C | 1:00 3C"},
      {7, 0, "notes within 7 steps of the last, idle between chords, shrink to one byte; 127 -> 0 "
             "wraps to +1, a note off is code 0, a repeated note step 0",
       "@480 90 7F 40, 90 00 40, @480 90 46 64, 80 46 40, @480 90 46 64, 90 46 64, 90 47 64",
       "1:08 7F | 98 | 1:0C 46 | 80 | 1:0C 46 | 8C | 9C"}};
  for (int v : {1, 7, 15, 16, 23, 40, 64, 95, 105, 127, 0}) {  // the velocity rows' notes
    for (int k : {11, 12}) cases[k].events += "@480 90 3C " + HexBytes({uint8_t(v)}) + ",";
  }
  std::string chords, shrunk;  // the last row starts with two-note chords 60, 60 + d
  for (int d = -8; d <= 8; ++d) {
    const std::string note = HexBytes({uint8_t(60 + d)});
    chords += "@480 90 3C 40, 90 " + note + " 40, ";
    const std::string step = HexBytes({uint8_t((d < 0 ? -d : 8 + d) << 4 | 8)});
    shrunk += "1:08 3C | " + (std::abs(d) == 8 ? "1:08 " + note : step) + " | ";
  }
  cases[13].events = chords + cases[13].events;
  cases[13].stream = shrunk + cases[13].stream;
  for (const Case& c : cases) {
    if (c.id != Id() && !(c.id == 4 && Id() == 5)) continue;
    SCOPED_TRACE(c.name);
    Run(c.events, {.profile = c.profile});
    EXPECT_EQ(Id() == 8 ? DkStream() : Text(Music()), c.stream);
  }
}

TEST(Disklavier, VelocityMap) {
  const uint8_t map[8][16] = {{0, 30, 31, 31, 32, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37},
                              {38, 38, 39, 39, 40, 40, 41, 41, 42, 42, 43, 43, 44, 44, 45, 45},
                              {46, 46, 47, 47, 48, 48, 49, 49, 50, 50, 51, 52, 52, 53, 53, 54},
                              {54, 55, 55, 56, 56, 57, 57, 58, 58, 59, 59, 60, 60, 61, 61, 62},
                              {62, 63, 63, 64, 64, 65, 65, 66, 66, 67, 67, 68, 68, 69, 69, 70},
                              {70, 71, 71, 72, 72, 73, 74, 74, 75, 75, 76, 76, 77, 77, 78, 78},
                              {79, 79, 80, 80, 81, 81, 82, 82, 83, 83, 84, 84, 85, 85, 86, 86},
                              {87, 87, 88, 88, 89, 89, 90, 90, 91, 91, 92, 92, 93, 93, 94, 95}};
  for (int v = 0; v < 128; ++v) EXPECT_EQ(CMid2Disklavier::MapVelocity(v), map[v / 16][v % 16]);
}

// Position after k symbols rounds k * rate / 3150 half up; 21 make a frame.
TEST_P(DisklavierTest, PositionAndFrameSamples) {
  test::MemoryOutput out;
  auto enc = std::make_unique<CMid2Disklavier>();
  enc->SetSampleRate(Rate());
  enc->SetOutput(&out);
  enc->Initialise();
  for (size_t k = 1; k <= 42; ++k) {
    ASSERT_EQ(enc->Advance(), Result::kSuccess);
    EXPECT_EQ(enc->GetPosition(), DkPosition(0, k, Rate())) << k;
    EXPECT_EQ(out.Size(), k / 21 * Rate() / 150) << k;
  }
}

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
    at = DkIdleUntil(lead, at, Frames(times[i]), Rate());
    EXPECT_EQ(m[i].firstUnit, at) << i;
    at = m[i].endUnit;
  }
  // A quarter second of idle signal, the frame completed, a second of silence.
  const size_t idle = DkIdleUntil(lead, at, DkPosition(lead, at, Rate()) + Frames(0.25), Rate());
  const size_t tail = (idle + 20) / 21 * 21;
  EXPECT_EQ(sig.symbols.size(), tail);
  EXPECT_EQ(sig.endSample, lead + tail / 21 * Rate() / 150);
  EXPECT_EQ(run_->out.Size(), sig.endSample + Rate());
  EXPECT_EQ(static_cast<CMid2Disklavier&>(*run_->encoder).GetSamplesWritten(), run_->out.Size());
  DkStream();
}

// The recording plays on the left half a second late; the data runs to the
// end of the frame in which it ends, then a second of silence.
TEST_P(DisklavierTest, AccompanimentHalfASecondLateAndTheEndWaitsForIt) {
  const size_t n = Rate(), delay = Rate() / 2;
  auto acc = test::FakeAccompaniment::Mono(std::vector<int16_t>(n, 1000), Rate());
  const auto& left = Run("90 3C 64", {.accompaniment = &acc}).out.Left();
  for (size_t k = 0; k < left.size(); ++k) ASSERT_EQ(k > delay && k < delay + n ? 0 : left[k], 0);
  EXPECT_EQ(left[delay + 200], 500);  // faded in and out over 400 frames
  EXPECT_EQ(left[delay + n - 1], 2);
  EXPECT_GE(run_->dk.endSample, delay + n);
  EXPECT_LT(run_->dk.endSample, delay + n + Rate() / 150);
  EXPECT_EQ(left.size(), run_->dk.endSample + Rate());
}

TEST(Disklavier, TitleLayoutAndMessage) {
  auto pad = [](const std::string& line) { return line + std::string(16 - line.size(), ' '); };
  struct Case { const char *title, *line1, *line2; size_t length; };
  for (const Case& c : {
           Case{"My_Song", "    My Song", "", 11},
           Case{"  Two__Spaces ", "   Two Spaces", "", 13},  // runs collapse, ends trimmed
           Case{"", "", "", 1},
           // A word crossing column 15 moves down, its space stays; lines share an offset.
           Case{"Gymnopedie Number One", "  Gymnopedie", "  Number One", 28},
           Case{"Moonlight Sonata Adagio", "Moonlight Sonata", " Adagio", 23},
           Case{"The Entertainer Rag", "The Entertainer", "Rag", 19},
           // Ten or more characters to go: only columns 9..14 are searched.
           Case{"A Supercalifragilistic Word", "A Supercalifragi", "listic Word", 27},
           // Fewer: the break at column 1 is taken; the text stops at 32.
           Case{"A Supercalifragilistic", "A", "Supercalifragili", 32}}) {
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
  // A file's own title: none generated, its own dropped; 4 bytes are no title.
  EXPECT_EQ(Text(Run("F0 43 71 7E 10 03 02 48 69 F7, 90 3C 01").msgs),
            "F0 7E 7F 09 01 F7 | F0 43 10 4C 00 00 7E 00 F7 | 90 3C 1E");
  EXPECT_EQ(Run("F0 43 71 7E 10, 90 3C 01").msgs.size(), 4u);
}

TEST(Disklavier, OtherRatesFallBackTo44100WithAMessage) {
  auto odd = RunEncoder(8, "90 3C 01", 22050), ref = RunEncoder(8, "90 3C 01", 44100);
  ASSERT_EQ(odd->result, Result::kSuccess);
  ASSERT_EQ(odd->events.messages.size(), 1u);
  EXPECT_EQ(odd->events.messages[0].second, "Invalid Disklavier sample rate!");
  EXPECT_EQ(odd->encoder->GetSampleRate(), 44100u);
  EXPECT_TRUE(odd->out.Right() == ref->out.Right());
  EXPECT_TRUE(ref->events.messages.empty());
}

TEST_P(PianoDiscTest, SetUpTitleFramingAndEnding) {
  const auto& bytes = Run("", {.title = "07) A Very__Long_Title Indeed"}).pd.bytes;
  const auto& msgs = run_->msgs;
  std::string expect;
  for (uint8_t c = 0; c < 16; ++c) {
    expect += HexBytes({uint8_t(0xC0 | c), 0}) + " | " + HexBytes({uint8_t(0xB0 | c), 7, 100});
    expect += " | ";
  }
  // "A Very Long Title In": the first 20 characters, '_' as space, runs folded.
  ASSERT_EQ(Text(msgs), expect +
                            "F0 00 00 2A 00 01 01 41 20 56 65 72 79 20 4C 6F 6E 67 20 54 69 74 6C "
                            "65 20 49 6E 00 F7 | B0 40 00 | B0 42 00 | B0 43 00");
  // Back-to-back bytes: 11 half-cycles each in Classic, 9 without stops.
  for (size_t i = 1; i < 80; ++i) {
    ASSERT_EQ(bytes[i].halfCycle - bytes[i - 1].halfCycle, Id() == 5 ? 11u : 9u) << i;
  }
  // Set-up at 0.25 s, title at 0.55 s, pedals off at 0.755 s (no music).
  for (const auto& [start, at] : {std::pair{bytes[0].startSample, 0.25},
                                  {msgs[32].startSample, 0.55}, {msgs[33].startSample, 0.755}}) {
    EXPECT_GE(start, Frames(at));
    EXPECT_LT(start, Frames(at) + Unit() + 1);
  }
  // Silence, a square wave of +-3800 on the right, silence for one second.
  const auto& right = run_->out.Right();
  const size_t total = right.size();
  for (size_t i = 0; i < total; ++i) {
    ASSERT_EQ(std::abs(right[i]), i >= Frames(0.016) && i < total - Rate() ? 3800 : 0) << i;
  }
  for (int16_t l : run_->out.Left()) ASSERT_EQ(l, 0);
  // Before it, 0.25 s of idle after the last byte, 00: 8.5 units and the stops.
  const double idle = total - Rate() - bytes.back().startSample - (Id() == 5 ? 10.5 : 8.5) * Unit();
  EXPECT_GE(idle, Frames(0.25) - 1);
  EXPECT_LE(idle, Frames(0.25) + Unit() + 1);
  // The file's own title replaces the generated one, with the music; a blank one sends none.
  std::string own = "F0 00 00 2A 00 01 01 4F 77 6E";
  for (int i = 0; i < 18; ++i) own += " 00";
  EXPECT_EQ(Text(Run(own + " F7", {.title = "Generated"}).msgs),
            expect + own + " F7 | B0 40 00 | B0 42 00 | B0 43 00");
  EXPECT_GE(run_->msgs.at(32).startSample, Frames(0.755));
  EXPECT_TRUE(CMid2PianoDisc::BuildTitleMessage("__ _  _").empty());
  EXPECT_EQ(HexBytes(CMid2PianoDisc::BuildTitleMessage("_ Hi_ __there")),
            "F0 00 00 2A 00 01 01 48 69 20 74 68 65 72 65 00 00 00 00 00 00 00 00 00 00 00 00 00 "
            "F7");
}

// A long chord keeps the line busy: the status byte comes again at the first
// event that starts more than half a second after the last one sent.
TEST_P(PianoDiscTest, StatusIsRefreshedAfterHalfASecondOfTransmission) {
  std::string chord;
  for (int i = 0; i < 250; ++i) chord += "90 " + HexBytes({uint8_t(20 + i % 80)}) + " 40,";
  Run(chord);
  const auto music = Music();
  ASSERT_EQ(music.size(), 250u);
  uint32_t lastStatus = music[0].startSample;
  int refreshes = 0;
  for (size_t i = 1; i < music.size(); ++i) {
    const bool due = music[i].startSample - lastStatus > Frames(0.5);
    ASSERT_EQ(music[i].statusSent, due) << i;
    if (due) lastStatus = music[i].startSample, ++refreshes;
  }
  EXPECT_GE(refreshes, Id() == 5 ? 2 : 1);
}

TEST_P(MidiManTest, SetUpSequenceTimingAndEnding) {
  const auto& msgs = Run("").msgs;
  std::string expect = "3:F0 7E 7F 09 01 F7";
  for (int c = 0; c < 16; ++c) {
    expect += " | 3:" + HexBytes({uint8_t(0xC0 | c), 0}) + " | 3:" +
              HexBytes({uint8_t(c == 9 ? 0xB9 : 0xB0), 7, 100});
  }
  ASSERT_EQ(Text(msgs), expect + " | 1:00 00 | 3:");
  // 0.05 s of silence, idle symbols (each starting with a 0 sample), GM on at 0.175 s, the
  // channel set-up from 0.25 s back to back past 0.489 s: the closing syncs follow at once.
  const auto& left = run_->out.Left();
  for (uint32_t i = 0; i <= Frames(0.05); ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[Frames(0.05) + 1], 0);
  for (const auto& [i, at] : {std::pair{0, 0.175}, {1, 0.25}}) {
    EXPECT_GE(msgs[i].startSample, Frames(at));
    EXPECT_LE(msgs[i].startSample, Frames(at) + Unit() + 1);
  }
  for (size_t i = 2; i < msgs.size(); ++i) {
    const double units = msgs[i - 1].bytes.size() * 8 + 2 * msgs[i - 1].syncs;
    EXPECT_NEAR(msgs[i].startSample - msgs[i - 1].startSample, units * Unit(), 1.0) << i;
  }
  EXPECT_GT(msgs[msgs.size() - 2].startSample, Frames(0.489));
  // 0.1 s + 0.1 s of idle after the closing syncs, then one second of silence.
  const size_t total = left.size();
  for (size_t i = total - Rate(); i < total; ++i) ASSERT_EQ(left[i], 0) << i;
  EXPECT_NE(left[total - Rate() - 2], 0);
  EXPECT_GE(total - Rate() - msgs.back().startSample, Frames(0.2) + 6 * Unit() - 2);
  EXPECT_LE(total - Rate() - msgs.back().startSample, Frames(0.2) + 8 * Unit() + 4);
  for (int16_t r : run_->out.Right()) ASSERT_EQ(r, 0);
  // A file with its own GM on gets no other.
  EXPECT_EQ(Text({Run("F0 7E 7F 09 01 F7").msgs.at(0)}), "3:C0 00");
}

// The recording plays on the right a second late; with it, the music keeps its
// 0.1 s lead-in, and the data runs 0.1 s past its end, then a second of silence.
TEST_P(MidiManTest, AccompanimentOnTheRightAndTheEndWaitsForIt) {
  const uint32_t length = Rate() / 2;
  auto acc = test::FakeAccompaniment::Mono(std::vector<int16_t>(length, 1000), Rate());
  const auto& right = Run("@96 90 3C 40, @480 FF 2F", {.accompaniment = &acc}).out.Right();
  for (uint32_t i = 0; i < Rate(); ++i) ASSERT_EQ(right[i], 0) << i;
  EXPECT_EQ(right[Rate() + 200], 500);
  EXPECT_EQ(right[Rate() + length - 1], 2);
  const size_t total = run_->out.Size();
  EXPECT_GE(total, 2 * Rate() + length + Frames(0.1));
  EXPECT_LE(total, 2 * Rate() + length + Frames(0.1) + 2 * Unit() + 4);
  const auto music = Music();
  ASSERT_EQ(music.size(), 1u);
  const auto& msgs = run_->msgs;
  const double due = msgs[msgs.size() - 3].startSample + 18 * Unit() + Frames(0.1);
  EXPECT_GE(music[0].startSample, due - Unit());
  EXPECT_LE(music[0].startSample, due + Unit() + 1);
}

// Every stream encoder stops on a write failure (keeping what was written),
// on damage and when cancelled.
TEST(StreamEncoders, ErrorsStopTheEncode) {
  const char* song = "90 3C 01, @4800 80 3C 40";
  for (int id : {4, 5, 7, 8}) {
    for (uint32_t rate : {44100u, 48000u}) {
      SCOPED_TRACE(std::to_string(id) + " " + std::to_string(rate));
      for (size_t failAt : {100, 5000, 20000, 100000}) {
        auto run = RunEncoder(id, song, rate, {.failAfter = failAt});
        EXPECT_EQ(run->result, Result::kWriteError) << failAt;
        EXPECT_EQ(run->out.Size(), failAt);
      }
      auto run = RunEncoder(id, song, rate, {.cancelled = true});
      EXPECT_EQ(run->result, Result::kCancelled);
      EXPECT_LT(run->out.Size(), Frames(0.8, rate));
      // Disklavier: the set-up's whole frames only, no closing silence.
      if (id == 8) {
        EXPECT_EQ((run->out.Size() - Frames(0.02920635, rate)) % (rate / 150), 0u);
      }
      test::FakeReader damaged;
      Feed(damaged, song).SetDamagedAt(1);
      EXPECT_EQ(RunEncoder(id, "", rate, {.source = &damaged})->result, Result::kSourceDamaged);
    }
  }
}

}  // namespace
}  // namespace tonvelo
