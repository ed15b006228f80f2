// Song -> encoder -> track file -> detection and decoders -> the song's notes and pedals
// again, for every format with an encoder, at both rates, with and without accompaniment,
// through WAV and through our own MP3 output; then one table of degraded copies.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "audio/pcm_out_mp3.h"
#include "audio/pcm_out_wav.h"
#include "decoders/detect.h"
#include "encoders/encoder_factory.h"
#include "pipeline/track_check.h"
#include "readers/smf2mid.h"
#include "tests/support/fake_accompaniment.h"
#include "tests/support/memory_output.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

// Two hands over the sustain pedal with a soft-pedal passage, chords, close
// and wide steps and a tempo change: every note form each format has.
std::vector<uint8_t> Song() {
  test::MidiBuilder midi(0, 480);
  auto& t = midi.AddTrack().Tempo(0, 500000).Program(0, 0, 0);
  for (int bar = 0; bar < 4; ++bar) {
    if (bar == 2) t.Tempo(0, 420000).Control(0, 0, 67, 100);
    t.Control(0, 0, 64, 127);
    for (int k = 0; k < 8; ++k) {
      const auto note = static_cast<uint8_t>(48 + (bar * 5 + k * 7) % 30);
      const auto vel = static_cast<uint8_t>(20 + (bar * 31 + k * 17) % 100);
      t.NoteOn(k == 0 ? 0 : 60, 0, note, vel).NoteOn(0, 1, note + 12, vel / 2 + 10);
      if (k % 4 == 0) t.NoteOn(0, 0, note + 3, vel).NoteOn(0, 0, note + 4, vel);
      t.NoteOff(120, 0, note).NoteOff(0, 1, note + 12);
      if (k % 4 == 0) t.NoteOff(0, 0, note + 3).NoteOff(0, 0, note + 4);
    }
    t.Control(40, 0, 64, 0);
  }
  t.Control(0, 0, 67, 0).End(240);
  return midi.Build();
}

// A sine tone; with hz 0, a piano-like chord with overtones.
std::vector<int16_t> Tone(size_t frames, uint32_t rate, double hz = 0, double amplitude = 0) {
  std::vector<int16_t> out(frames);
  const double w = 2 * M_PI / rate;
  for (size_t n = 0; n < frames; ++n) {
    double v = 0;
    for (double f : {220.0, 277.2, 329.6, 440.0, 1318.5, 2637.0}) v += std::sin(w * f * n);
    out[n] = hz ? static_cast<int16_t>(std::lround(amplitude * std::sin(w * hz * n)))
                : static_cast<int16_t>(v * 2500 * (1.0 + 0.5 * std::sin(n * 6.0 / rate)));
  }
  return out;
}

Result Encode(int id, uint32_t rate, CPCMOut& out, CPCMIn* accompaniment) {
  CSMF2MID reader;
  EXPECT_EQ(reader.OpenBuffer(Song()), OpenResult::kOpened);
  // A fixed scrambler start keeps runs repeatable; with 35, id 6 in MP3 beside
  // music opens with pre-echo above the start threshold. TONVELO_TEST_SEED
  // overrides it, to sweep other starts.
  EncoderOptions options{.scramblerSeed = 35u};
  if (const char* seed = std::getenv("TONVELO_TEST_SEED")) options.scramblerSeed = std::atoi(seed);
  auto enc = CreateEncoder(id, options);
  enc->SetSampleRate(rate);
  enc->SetOutput(&out);
  enc->SetAccompaniment(accompaniment);
  enc->SetSource(&reader);
  enc->SetTitle("Song");
  return enc->Encode();
}

// The id detection reports (twins send identical signals), and the data channel.
constexpr int kDetectedId[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 10, 10};
constexpr int DataChannel(int id) { return id == 7 || id >= 10 ? 0 : 1; }

using Case = std::tuple<int, uint32_t, bool, bool>;  // format id, rate, accompaniment, MP3
class TrackRoundTrip : public testing::TestWithParam<Case> {};
std::string Name(const testing::TestParamInfo<Case>& info) {
  const auto [id, rate, music, mp3] = info.param;
  return "id" + std::to_string(id) + "_" + std::to_string(rate) + (music ? "_music" : "") +
         (mp3 ? "_mp3" : "_wav");
}

TEST_P(TrackRoundTrip, TheSongsNotesAndPedalsComeBack) {
  const auto [id, rate, withMusic, mp3] = GetParam();
  const fs::path dir = fs::temp_directory_path() / ("tonvelo_rt_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path path = dir / (std::to_string(id) + (mp3 ? ".mp3" : ".wav"));
  std::unique_ptr<CPCMOut> out(mp3 ? static_cast<CPCMOut*>(new CPCMOut_MP3) : new CPCMOut_WAV);
  ASSERT_EQ(out->Open(path, rate, "Song", dir / "none.tags.txt", withMusic, id == 3),
            AudioResult::kOk);
  auto music = test::FakeAccompaniment::Mono(Tone(3 * rate, rate), rate);
  ASSERT_EQ(Encode(id, rate, *out, withMusic ? &music : nullptr), Result::kSuccess);
  ASSERT_EQ(out->Close(), AudioResult::kOk);

  TrackAudio audio;
  std::string error;
  ASSERT_TRUE(LoadTrack(path, audio, error)) << error;
  fs::remove(path);
  const DecodedTrack track = DecodeTrackAudio(audio);
  ASSERT_EQ(track.formatId, kDetectedId[id]);
  EXPECT_EQ(track.dataChannel, DataChannel(id));
  EXPECT_TRUE(track.errors.empty()) << track.errors.size() << " errors, first at "
                                    << track.errors[0].timeSeconds << ": " << track.errors[0].text;
  CSMF2MID reader;
  ASSERT_EQ(reader.OpenBuffer(Song()), OpenResult::kOpened);
  const ConversionSettings settings;
  SongContext context{reader, settings, settings.velocityProfile};
  const FamilyRules& rules = *FindFamilyRules(track.family);
  const Comparison c = CompareEvents(rules.expect(context), track, rules);
  EXPECT_TRUE(c.agree) << c.firstDifference << " " << c.largestTimingErrorSeconds;
  EXPECT_EQ(c.foundEvents, c.expectedEvents);
  EXPECT_GE(c.foundEvents, 160u);  // LX merges a pedal lift and press at one tick
}

INSTANTIATE_TEST_SUITE_P(FormatsRatesMusicContainers, TrackRoundTrip,
                         testing::Combine(testing::Range(0, 12), testing::Values(44100u, 48000u),
                                          testing::Bool(), testing::Bool()),
                         Name);

// Copies of a track as real ones reach us decode to the clean copy's events with no error,
// the data found where it is; one cut from a longer recording keeps its events, earlier by
// the cut; one with 3 ms of the data wiped reports an error there.
TEST(DegradedTracks, DecodeLikeTheCleanCopy) {
  struct Degradation {
    const char* name;
    double gain = 1.0;
    int offset = 0;
    bool swap = false, tone = false;  // tone: a full-scale 1 kHz tone on the other channel
    size_t cut = 0;                   // frames dropped from the start
    bool wipe = false;                // 3 ms wiped from inside the 60th message
  };
  const Degradation table[] = {
      {"-12 dB", 0.25}, {"+6 dB clipped", 2.0}, {"DC 2000", 1.0, 2000}, {"inverted", -1.0},
      {.name = "swapped", .swap = true}, {.name = "1 kHz tone", .tone = true},
      {"all at once", -0.25, 2000, true, true}, {.name = "starts mid-signal", .cut = 4567},
      {.name = "wiped", .wipe = true}};
  const uint32_t rate = 44100;
  for (int id : {0, 1, 2, 4, 5, 6, 7, 8, 10}) {
    test::MemoryOutput out;
    auto music = test::FakeAccompaniment::Mono(Tone(2 * rate, rate), rate);
    ASSERT_EQ(Encode(id, rate, out, &music), Result::kSuccess);
    const std::vector<int16_t>* channels[2] = {&out.Left(), &out.Right()};
    const DecodedTrack clean =
        DetectAndDecode(out.Left().data(), out.Right().data(), out.Size(), rate);
    ASSERT_EQ(clean.formatId, id);
    for (const Degradation& d : table) {
      // The frame formats time their events from the stream's start, which a
      // cut loses; a gap inside them is a failed frame check, proven elsewhere.
      const bool serial = id == 4 || id == 5 || id == 7 || id == 8;
      if (!serial && (d.cut != 0 || d.wipe)) continue;
      const auto& data = *channels[DataChannel(id)];
      std::vector<int16_t> x(data.size() - d.cut);
      std::vector<int16_t> other(channels[1 - DataChannel(id)]->begin() + d.cut,
                                 channels[1 - DataChannel(id)]->end());
      for (size_t n = 0; n < x.size(); ++n) {
        x[n] = static_cast<int16_t>(
            std::clamp(std::lround(data[n + d.cut] * d.gain) + d.offset, -32768L, 32767L));
      }
      const double wipeAt = clean.events[60].timeSeconds + 0.0005;
      if (d.wipe) std::fill_n(x.begin() + static_cast<long>(wipeAt * rate), 3 * rate / 1000, 0);
      if (d.tone) other = Tone(other.size(), rate, 1000.0, 32767.0);
      const bool dataLeft = (DataChannel(id) == 0) != d.swap;
      const DecodedTrack got = dataLeft ? DetectAndDecode(x.data(), other.data(), x.size(), rate)
                                        : DetectAndDecode(other.data(), x.data(), x.size(), rate);
      const std::string what = std::to_string(id) + " " + d.name;
      EXPECT_EQ(got.formatId, id) << what;
      EXPECT_EQ(got.dataChannel, dataLeft ? 0 : 1) << what;
      if (d.wipe) {
        ASSERT_FALSE(got.errors.empty()) << what;
        EXPECT_NEAR(got.errors[0].timeSeconds, wipeAt, 0.01) << what;
        continue;
      }
      EXPECT_TRUE(got.errors.empty()) << what << ": " << got.errors.size() << " errors, first at "
                                      << got.errors[0].timeSeconds << ": " << got.errors[0].text;
      ASSERT_EQ(got.events.size(), clean.events.size()) << what;
      for (size_t i = 0; i < got.events.size(); ++i) {
        const DecodedEvent &a = got.events[i], &b = clean.events[i];
        ASSERT_TRUE(a.status == b.status && a.data1 == b.data1 && a.data2 == b.data2)
            << what << " " << i;
        ASSERT_NEAR(a.timeSeconds, b.timeSeconds - static_cast<double>(d.cut) / rate, 0.0002)
            << what << " " << i;
      }
    }
  }
}

// Music alone, full-scale tones (at each carrier's idle frequency too) and
// silence carry no data signal.
TEST(Detection, NoDataSignalInMusicTonesOrSilence) {
  const uint32_t rate = 48000, n = 4 * rate;
  const std::vector<int16_t> silence(n, 0);
  for (const auto& channel : {Tone(n, rate), Tone(n, rate, 1000, 32767), Tone(n, rate, 6300, 8192),
                              Tone(n, rate, 2004.5, 3800), Tone(n, rate, 1712.5, 3000), silence}) {
    const DecodedTrack t = DetectAndDecode(channel.data(), silence.data(), channel.size(), rate);
    EXPECT_EQ(t.family, SignalFamily::kNone) << t.formatId;
    EXPECT_EQ(t.dataChannel, -1);
  }
}

}  // namespace
}  // namespace tonvelo
