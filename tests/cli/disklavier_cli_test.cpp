// End to end through the built `tonvelo` binary: a MIDI file with a stereo
// WAV accompaniment beside it becomes disklavier_<title>.wav, with the
// recording on the left (folded to mono, half a second late, faded) and a
// data signal on the right that decodes back to the music.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/disklavier_run.h"
#include "tests/support/midi_builder.h"
#include "tests/support/wav_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRate = 44100;

fs::path FreshDir(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / (name + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

std::vector<StreamMessage> Decode(const std::vector<int16_t>& right) {
  test::DkRun run;
  test::ReadBack(run, right, kRate);
  EXPECT_TRUE(run.clean) << run.error;
  return run.messages;
}

// One second of music (two notes under the sustain pedal) and three seconds
// of stereo accompaniment: left ramps, right is constant.
TEST(DisklavierCommand, AccompanimentLeftLateAndFadedDataRightUntilItEnds) {
  const fs::path dir = FreshDir("tonvelo_dk_cli_");
  test::MidiBuilder midi(1, 480);
  midi.AddTrack().Tempo(0, 500000).End();
  auto& t = midi.AddTrack().Control(0, 0, 64, 127).NoteOn(0, 0, 60, 100).NoteOn(240, 0, 67, 80);
  t.NoteOff(480, 0, 60).NoteOff(0, 0, 67).Control(240, 0, 64, 0).End();
  midi.Write(dir / "song.mid");
  const size_t n = 3 * kRate;
  std::vector<int16_t> samples;
  for (size_t k = 0; k < n; ++k) samples.insert(samples.end(), {int16_t(1000 + k % 1000), 3000});
  test::WriteBytes(dir / "song.wav", test::BuildWav16(kRate, 2, samples));
  const std::string line = "cd '" + dir.string() +
                           "' && '" TONVELO_CLI_PATH
                           "' --format disklavier --prefix song.mid >/dev/null 2>&1";
  ASSERT_EQ(std::system(line.c_str()), 0);

  test::StereoWav wav;
  ASSERT_TRUE(test::ReadStereoWav(dir / "disklavier_song.wav", wav));
  EXPECT_EQ(wav.rate, kRate);
  EXPECT_EQ(fs::file_size(dir / "song.wav"), 44 + 4 * n);  // the source is untouched
  auto folded = [](size_t k) { return (1000 + static_cast<int>(k % 1000) + 3000) / 2; };
  const size_t delay = kRate / 2;
  for (size_t k = 0; k <= delay; ++k) ASSERT_EQ(wav.left[k], 0) << k;
  for (size_t k : {1, 200, 399}) {
    EXPECT_EQ(wav.left[delay + k], static_cast<int>(folded(k) * static_cast<double>(k) / 400.0));
  }
  for (size_t k = 400; k < n - 400; k += 997) ASSERT_EQ(wav.left[delay + k], folded(k)) << k;
  EXPECT_EQ(wav.left[delay + n - 1], static_cast<int>(folded(n - 1) / 400.0));
  for (size_t k = delay + n; k < wav.left.size(); ++k) ASSERT_EQ(wav.left[k], 0) << k;

  test::DkRun run;
  test::ReadBack(run, wav.right, kRate);
  const DisklavierDetail& sig = run.signal;
  ASSERT_TRUE(run.clean) << run.error;
  EXPECT_EQ(sig.leadSamples, 1288u);
  const auto& m = run.messages;
  ASSERT_EQ(m.size(), 9u);
  EXPECT_EQ(std::string(m[2].bytes.begin() + 7, m[2].bytes.end() - 1), "      song");
  const std::vector<Bytes> music = {{0xB0, 64, 127},  {0x90, 60, 81},   {0x90, 67, 70},
                                    {0x80, 60, 0x40}, {0x80, 67, 0x40}, {0xB0, 64, 0}};
  for (size_t k = 0; k < music.size(); ++k) EXPECT_EQ(m[3 + k].bytes, music[k]) << k;
  // The data runs to the end of the frame in which the recording ended, and
  // a second of silence closes the track.
  EXPECT_GE(sig.endSample, delay + n);
  EXPECT_LT(sig.endSample, delay + n + 294);
  EXPECT_EQ(wav.right.size(), sig.endSample + kRate);
  fs::remove_all(dir);
}

// The bundled example: the committed file is what its generator writes, and
// the command that scripts/example.sh runs turns it into a real track.
TEST(DisklavierExample, GeneratorIsReproducibleAndTheTrackDecodes) {
  const fs::path source = fs::path(TONVELO_SOURCE_DIR) / "examples";
  const fs::path dir = FreshDir("tonvelo_dk_example_");
  auto slurp = [](const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  };
  const char* python = std::getenv("TONVELO_PYTHON");
  const std::string generate = std::string(python ? python : "python3") + " '" +
                               (source / "make_example.py").string() + "' '" +
                               (dir / "regenerated.mid").string() + "' >/dev/null";
  ASSERT_EQ(std::system(generate.c_str()), 0);
  EXPECT_EQ(slurp(dir / "regenerated.mid"), slurp(source / "bach_prelude_c.mid"));
  const std::string convert = "cd '" + dir.string() +
                              "' && '" TONVELO_CLI_PATH
                              "' --format disklavier --prefix --output-dir out '" +
                              source.string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(convert.c_str()), 0);
  test::StereoWav wav;
  ASSERT_TRUE(test::ReadStereoWav(dir / "out" / "examples" / "disklavier_bach_prelude_c.wav", wav));
  int noteOns = 0, pedals = 0;
  for (const auto& m : Decode(wav.right)) {
    noteOns += m.bytes[0] == 0x90;
    pedals += m.bytes[0] == 0xB0 && m.bytes[1] == 64;
  }
  EXPECT_EQ(noteOns, 8 * 16 + 5);  // eight bars of sixteenths and the closing chord
  EXPECT_EQ(pedals, 2 * 9);
  // 36.5 quarters at 66 BPM to the last pedal release after the set-up, the
  // tail and the closing second.
  EXPECT_NEAR(static_cast<double>(wav.right.size()) / kRate, 0.492 + 36.5 * 60.0 / 66 + 1.25, 0.02);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
