// The LX family through the built command: the default format, --seed, the
// ".bit" dump of --discard, the pedal drawings of --diagnostic, an overflow.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(LXCommandTest, DefaultFormatSeedDumpsAndOverflow) {
  const fs::path dir = fs::temp_directory_path() / ("tonvelo_lx_cli_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  // A note at 0.25 s (tick 200) held for 600 ticks under the pedal; 65 notes at once.
  test::MidiBuilder song(0, 480), full(0, 480);
  auto& s = song.AddTrack().Tempo(0, 500000).NoteOn(0, 0, 60, 90).Control(0, 0, 64, 127);
  s.NoteOff(720, 0, 60).Control(0, 0, 64, 0).End();
  song.Write(dir / "song.mid");
  auto& t = full.AddTrack();
  for (int k = 0; k < 65; ++k) t.NoteOn(0, 0, static_cast<uint8_t>(21 + k), 64);
  for (int k = 0; k < 65; ++k) t.NoteOff(k == 0 ? 24 : 0, 0, static_cast<uint8_t>(21 + k));
  t.End();
  full.Write(dir / "full.mid");
  const auto run = [&](const std::string& args) {
    const std::string line =
        "cd '" + dir.string() + "' && '" TONVELO_CLI_PATH "' " + args + " >/dev/null 2>&1";
    const int raw = std::system(line.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  // Stereo 16-bit frames after a 44-byte header.
  const auto frames = [&](const fs::path& wav) { return (fs::file_size(dir / wav) - 44) / 4.0; };

  // Into folders of their own: beside the source, a song.wav would become
  // the next runs' accompaniment. The same seed gives the same track.
  EXPECT_EQ(run("--seed 5 --prefix --output-dir a song.mid"), 0);
  EXPECT_EQ(run("--seed 5 --prefix --output-dir b song.mid"), 0);
  EXPECT_EQ(run("--seed 6 --prefix --output-dir c song.mid"), 0);
  const std::string first = Slurp(dir / "a" / "lx_song.wav");
  EXPECT_EQ(Slurp(dir / "b" / "lx_song.wav"), first);
  EXPECT_NE(Slurp(dir / "c" / "lx_song.wav"), first);
  EXPECT_EQ(run("--seed x song.mid"), 64);

  // --discard writes the byte stream instead of audio: 32 leader bytes and
  // the frames; 800 bytes a second of signal, before the closing second.
  EXPECT_EQ(run("--discard --seed 5 --prefix song.mid"), 0);
  EXPECT_FALSE(fs::exists(dir / "lx_song.wav"));
  EXPECT_NEAR(fs::file_size(dir / "lx_song.bit") / 800.0,
              (frames("a/lx_song.wav") - 44100) / 44100.0, 0.01);

  // One graph frame per tick up to the end of the pedal lists: the music's
  // last tick (800) plus 250.
  EXPECT_EQ(run("--diagnostic --prefix --format se song.mid"), 0);
  EXPECT_EQ(frames("se_song_sustain_graph.wav"), 1050);
  EXPECT_EQ(frames("se_song_soft_graph.wav"), 1050);

  // A full queue fails the file as a data formatting error and leaves no track.
  EXPECT_EQ(run("full.mid"), 6);
  EXPECT_FALSE(fs::exists(dir / "full.wav"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
