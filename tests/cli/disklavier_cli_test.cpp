// End to end through the built `tonvelo` binary: a MIDI file with a stereo
// WAV accompaniment beside it becomes disklavier_<title>.wav, with the
// recording on the left (folded to mono, half a second late, faded) and a
// data signal on the right that decodes back to the music.

#include <gtest/gtest.h>
#include <sys/wait.h>
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

class DisklavierCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tonvelo_dk_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // One second of music: two notes under the sustain pedal.
    test::MidiBuilder midi(1, 480);
    midi.AddTrack().Tempo(0, 500000).End();
    midi.AddTrack()
        .Control(0, 0, 64, 127)
        .NoteOn(0, 0, 60, 100)
        .NoteOn(240, 0, 67, 80)
        .NoteOff(480, 0, 60)
        .NoteOff(0, 0, 67)
        .Control(240, 0, 64, 0)
        .End();
    midi.Write(dir_ / "song.mid");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Stereo accompaniment: left ramps, right is constant.
  void WriteAccompaniment(size_t frames) {
    std::vector<int16_t> samples;
    for (size_t k = 0; k < frames; ++k) {
      samples.push_back(static_cast<int16_t>(1000 + k % 1000));
      samples.push_back(3000);
    }
    test::WriteBytes(dir_ / "song.wav", test::BuildWav16(kRate, 2, samples));
  }
  static int Folded(size_t k) { return (1000 + static_cast<int>(k % 1000) + 3000) / 2; }

  int Run() {
    const std::string line = "cd '" + dir_.string() +
                             "' && '" TONVELO_CLI_PATH
                             "' --format disklavier --prefix song.mid >/dev/null 2>&1";
    const int raw = std::system(line.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }

  fs::path dir_;
};

// The decoded music and the data channel's layout, shared by both cases.
test::DkSignal CheckDataChannel(const test::StereoWav& wav) {
  test::DkSignal sig = test::DemodulateDisklavier(wav.right, kRate);
  EXPECT_TRUE(sig.ok) << sig.error;
  EXPECT_EQ(sig.leadIn, 1288u);
  EXPECT_EQ(sig.symbols.size() % 21, 0u);
  const auto messages = test::DkMessages(test::DkBytes(sig.symbols));
  std::vector<Bytes> music;
  for (size_t k = 3; k < messages.size(); ++k) music.push_back(messages[k].bytes);
  EXPECT_EQ(music, (std::vector<Bytes>{{0xB0, 64, 127},
                                       {0x90, 60, 81},
                                       {0x90, 67, 70},
                                       {0x80, 60, 0x40},
                                       {0x80, 67, 0x40},
                                       {0xB0, 64, 0}}));
  EXPECT_EQ(std::string(messages[2].bytes.begin() + 6, messages[2].bytes.end()), "      song");
  // The track closes with one second of silence after the data.
  EXPECT_EQ(wav.right.size(), sig.dataEnd + kRate);
  return sig;
}

TEST_F(DisklavierCommand, LongAccompanimentOnTheLeftAndDataUntilItEnds) {
  const size_t n = 3 * kRate;  // outlasts the music
  WriteAccompaniment(n);
  ASSERT_EQ(Run(), 0);
  test::StereoWav wav;
  ASSERT_TRUE(test::ReadStereoWav(dir_ / "disklavier_song.wav", wav));
  EXPECT_EQ(wav.rate, kRate);
  EXPECT_EQ(fs::file_size(dir_ / "song.wav"), 44 + 4 * n);  // the source is untouched

  const size_t delay = kRate / 2;
  for (size_t k = 0; k <= delay; ++k) ASSERT_EQ(wav.left[k], 0) << k;
  for (size_t k : {size_t{1}, size_t{200}, size_t{399}}) {
    EXPECT_EQ(wav.left[delay + k], static_cast<int>(Folded(k) * static_cast<double>(k) / 400.0));
  }
  for (size_t k = 400; k < n - 400; k += 997) ASSERT_EQ(wav.left[delay + k], Folded(k)) << k;
  EXPECT_EQ(wav.left[delay + n - 1], static_cast<int>(Folded(n - 1) / 400.0));
  for (size_t k = delay + n; k < wav.left.size(); ++k) ASSERT_EQ(wav.left[k], 0) << k;

  const test::DkSignal sig = CheckDataChannel(wav);
  // The data runs to the end of the frame in which the recording ended.
  EXPECT_GE(sig.dataEnd, delay + n);
  EXPECT_LT(sig.dataEnd, delay + n + 294);
}

TEST_F(DisklavierCommand, ShortAccompanimentLeavesTheMusicsOwnEnding) {
  WriteAccompaniment(kRate / 4);
  ASSERT_EQ(Run(), 0);
  test::StereoWav wav;
  ASSERT_TRUE(test::ReadStereoWav(dir_ / "disklavier_song.wav", wav));
  const test::DkSignal sig = CheckDataChannel(wav);
  // A quarter of a second of idle signal after the last message, then the
  // frame is completed.
  const auto messages = test::DkMessages(test::DkBytes(sig.symbols));
  const size_t last = messages.back().endSymbol;
  size_t end = test::DkIdleUntil(sig.leadIn, last,
                                 test::DkPosition(sig.leadIn, last, kRate) + kRate / 4, kRate);
  end = (end + 20) / 21 * 21;
  EXPECT_EQ(sig.symbols.size(), end);
  // The music keeps its timing: the last pedal is 1 s after the first event,
  // which waits for the 0.492 s set-up; events after time zero come early by
  // half of the 13 symbols the scheduler saw before its first idle symbol.
  EXPECT_NEAR(static_cast<double>(sig.SymbolSample(messages.back().firstSymbol)),
              (0.492 + 1.0) * kRate - 13 * 14 / 2, 14);
}

// The bundled example: the committed file is what its generator writes, and
// the command that scripts/example.sh runs turns it into a real track.
TEST(DisklavierExample, GeneratorIsReproducibleAndTheTrackDecodes) {
  const fs::path source = fs::path(TONVELO_SOURCE_DIR) / "examples";
  const fs::path dir =
      fs::temp_directory_path() / ("tonvelo_dk_example_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
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
  const test::DkSignal sig = test::DemodulateDisklavier(wav.right, kRate);
  ASSERT_TRUE(sig.ok) << sig.error;
  int noteOns = 0, pedals = 0;
  for (const auto& m : test::DkMessages(test::DkBytes(sig.symbols))) {
    if (m.kind != test::DkKind::kChannel) continue;
    noteOns += m.bytes[0] == 0x90;
    pedals += m.bytes[0] == 0xB0 && m.bytes[1] == 64;
  }
  EXPECT_EQ(noteOns, 8 * 16 + 5);  // eight bars of sixteenths and the closing chord
  EXPECT_EQ(pedals, 2 * 9);
  // 36.5 quarters at 66 BPM to the last pedal release, after the set-up;
  // then the tail and the closing second.
  EXPECT_NEAR(static_cast<double>(wav.right.size()) / kRate, 0.492 + 36.5 * 60.0 / 66 + 0.25 + 1,
              0.02);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
