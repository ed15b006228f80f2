// The bundled example: the committed file is what its generator writes, and
// the command scripts/example.sh runs makes a Disklavier track of the music.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "decoders/disklavier_decoder.h"
#include "tests/support/wav_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

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
  const std::string line = "cd '" + dir.string() + "' && mkdir examples && " +
                           (python ? python : "python3") + " '" + source.string() +
                           "/make_example.py' examples/bach_prelude_c.mid >/dev/null && '" +
                           TONVELO_CLI_PATH "' --format disklavier --prefix --output-dir out "
                           "examples/ >/dev/null 2>&1";
  ASSERT_EQ(std::system(line.c_str()), 0);
  EXPECT_EQ(slurp(dir / "examples" / "bach_prelude_c.mid"), slurp(source / "bach_prelude_c.mid"));
  test::StereoWav wav;
  ASSERT_TRUE(test::ReadStereoWav(dir / "out" / "examples" / "disklavier_bach_prelude_c.wav", wav));
  DisklavierDetail signal;
  const auto& r = wav.right;
  EXPECT_TRUE(DecodeDisklavier(r.data(), r.size(), wav.rate, &signal).errors.empty());
  int noteOns = 0, pedals = 0;
  for (const auto& m : signal.messages) {
    noteOns += m.bytes[0] == 0x90;
    pedals += m.bytes[0] == 0xB0 && m.bytes[1] == 64;
  }
  EXPECT_EQ(noteOns, 8 * 16 + 5);  // eight bars of sixteenths and the closing chord
  EXPECT_EQ(pedals, 2 * 9);
  // The set-up, 36.5 quarters at 66 BPM to the last pedal release, tail and silence.
  EXPECT_NEAR(static_cast<double>(r.size()) / wav.rate, 0.492 + 36.5 * 60.0 / 66 + 1.25, 0.02);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
