// The LX family through the built command: --discard and --seed, --diagnostic.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

TEST(LXCommandTest, ByteStreamDumpsSeedsAndPedalDrawings) {
  const fs::path dir = fs::temp_directory_path() / ("tonvelo_lx_cli_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  // A note at 0.25 s (tick 200) held for 600 ticks under the pedal.
  test::MidiBuilder song(0, 480);
  auto& s = song.AddTrack().Tempo(0, 500000).NoteOn(0, 0, 60, 90).Control(0, 0, 64, 127);
  s.NoteOff(720, 0, 60).Control(0, 0, 64, 0).End();
  song.Write(dir / "song.mid");
  const auto sh = [&](const std::string& command) {
    const std::string line = "cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1";
    const int raw = std::system(line.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  const std::string tonvelo = "'" TONVELO_CLI_PATH "' ";

  // LX by default; --discard writes the byte stream instead of audio: 32
  // leader bytes and the frames, 800 bytes a second. The same seed gives the
  // same stream.
  for (const char* run :
       {"--seed 5 --output-dir a", "--seed 5 --output-dir b", "--seed 6 --output-dir c"})
    EXPECT_EQ(sh(tonvelo + "--discard --prefix " + run + " song.mid"), 0) << run;
  EXPECT_EQ(fs::file_size(dir / "a" / "lx_song.bit"), 2063u);
  EXPECT_FALSE(fs::exists(dir / "a" / "lx_song.wav"));
  EXPECT_EQ(sh("cmp a/lx_song.bit b/lx_song.bit"), 0);
  EXPECT_EQ(sh("cmp a/lx_song.bit c/lx_song.bit"), 1);
  EXPECT_EQ(sh(tonvelo + "--seed x song.mid"), 64);

  // One graph frame (16-bit stereo, after a 44-byte header) per tick up to the
  // end of the pedal lists: the music's last tick (800) plus 250.
  EXPECT_EQ(sh(tonvelo + "--diagnostic --prefix --format se song.mid"), 0);
  EXPECT_EQ(fs::file_size(dir / "se_song_sustain_graph.wav"), 44 + 4 * 1050u);
  EXPECT_EQ(fs::file_size(dir / "se_song_soft_graph.wav"), 44 + 4 * 1050u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
