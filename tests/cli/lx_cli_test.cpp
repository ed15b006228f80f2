// The LX family through the built command: the default format, --seed,
// the ".bit" dump with --discard, the pedal drawings with --diagnostic, and
// a queue overflow reported as a data formatting error.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "audio/wave_file.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

uint32_t WavFrames(const fs::path& path) {
  CWaveFile wav;
  return wav.OpenRead(path) == WaveResult::kOk ? wav.GetFrameCount() : 0;
}

TEST(LXCommandTest, DefaultFormatSeedDumpsAndOverflow) {
  const fs::path dir = fs::temp_directory_path() / ("tonvelo_lx_cli_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  // A note at 0.25 s (tick 200) held for 600 ticks under the pedal.
  test::MidiBuilder song(0, 480);
  song.AddTrack()
      .Tempo(0, 500000)
      .NoteOn(0, 0, 60, 90)
      .Control(0, 0, 64, 127)
      .NoteOff(720, 0, 60)
      .Control(0, 0, 64, 0)
      .End();
  song.Write(dir / "song.mid");
  test::MidiBuilder full(0, 480);
  auto& t = full.AddTrack();
  for (int k = 0; k < 65; ++k) t.NoteOn(0, 0, static_cast<uint8_t>(21 + k), 64);
  for (int k = 0; k < 65; ++k) t.NoteOff(k == 0 ? 24 : 0, 0, static_cast<uint8_t>(21 + k));
  t.End();
  full.Write(dir / "full.mid");

  const auto run = [&](const std::string& args, std::string* err = nullptr) {
    const std::string line = "cd '" + dir.string() + "' && '" TONVELO_CLI_PATH "' " + args +
                             " >/dev/null 2>'" + (dir / "err").string() + "'";
    const int raw = std::system(line.c_str());
    if (err != nullptr) *err = Slurp(dir / "err");
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };

  // Beside the source, song.wav would become the next runs' accompaniment.
  EXPECT_EQ(run("--output-dir out song.mid"), 0);
  EXPECT_GT(WavFrames(dir / "out" / "song.wav"), 44100u);
  EXPECT_EQ(run("--seed 5 --prefix --format spirio song.mid"), 0);
  const std::string first = Slurp(dir / "spirio_song.wav");
  EXPECT_EQ(run("--seed 5 --prefix --format 9 song.mid"), 0);
  EXPECT_EQ(Slurp(dir / "spirio_song.wav"), first);
  EXPECT_EQ(run("--seed 6 --prefix --format 9 song.mid"), 0);
  EXPECT_NE(Slurp(dir / "spirio_song.wav"), first);
  EXPECT_EQ(run("--seed x song.mid"), 64);

  // --discard writes the byte stream instead of audio: 32 leader bytes and
  // the frames; 800 bytes a second of signal, before the closing second.
  EXPECT_EQ(run("--discard --seed 5 --prefix song.mid"), 0);
  EXPECT_FALSE(fs::exists(dir / "lx_song.wav"));
  const double bytes = static_cast<double>(fs::file_size(dir / "lx_song.bit"));
  EXPECT_NEAR(bytes / 800.0, (WavFrames(dir / "spirio_song.wav") - 44100) / 44100.0, 0.01);

  // One graph frame per tick up to the end of the pedal lists: the music's
  // last tick (800) plus 250.
  EXPECT_EQ(run("--diagnostic --prefix --format se song.mid"), 0);
  EXPECT_EQ(WavFrames(dir / "se_song_sustain_graph.wav"), 1050u);
  EXPECT_EQ(WavFrames(dir / "se_song_soft_graph.wav"), 1050u);

  std::string err;
  EXPECT_EQ(run("full.mid", &err), 6);
  EXPECT_NE(err.find("error: Data formatting error while processing \"full.mid\"\n"),
            std::string::npos)
      << err;
  EXPECT_FALSE(fs::exists(dir / "full.wav"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
