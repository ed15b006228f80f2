// The bundled example through the built `tonvelo` binary: the committed file
// is what its generator writes, and the command that scripts/example.sh runs
// turns it into a Disklavier track that decodes to the music.

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
  DisklavierDetail signal;
  const DecodedTrack track = DecodeDisklavier(wav.right.data(), wav.right.size(), wav.rate, &signal);
  EXPECT_TRUE(track.errors.empty());
  int noteOns = 0, pedals = 0;
  for (const auto& m : signal.messages) {
    noteOns += m.bytes[0] == 0x90;
    pedals += m.bytes[0] == 0xB0 && m.bytes[1] == 64;
  }
  EXPECT_EQ(noteOns, 8 * 16 + 5);  // eight bars of sixteenths and the closing chord
  EXPECT_EQ(pedals, 2 * 9);
  // 36.5 quarters at 66 BPM to the last pedal release after the set-up, the
  // tail and the closing second.
  EXPECT_NEAR(static_cast<double>(wav.right.size()) / wav.rate, 0.492 + 36.5 * 60.0 / 66 + 1.25,
              0.02);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
