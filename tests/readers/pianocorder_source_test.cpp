#include "readers/pianocorder_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace tonvelo {
namespace {

using Bytes = std::vector<uint8_t>;
using enum OpenResult;

// Header announcing `count` frames at 4700 bits/s, then `frames` frames
// whose first byte is their index.
Bytes PcFile(uint32_t count, uint32_t frames, const char* signature = "PIANOCORDER") {
  Bytes b(signature, signature + 11);
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(count >> (8 * i)));
  const uint8_t rest[] = {0x12, 0x5C, 0x01, 0x02, 0x07, 0x23, 0x25, 'A', 'B', 'C', 'D', 'E', 0x29};
  b.insert(b.end(), rest, rest + sizeof rest);
  b.resize(32, 0);
  for (uint32_t i = 0; i < frames; ++i) {
    Bytes f(16, 0);
    f[0] = static_cast<uint8_t>(i);
    f[15] = 0xFD;
    b.insert(b.end(), f.begin(), f.end());
  }
  return b;
}

TEST(PianocorderSource, LoadsOnlyTheFramesPresent) {
  Bytes odd = PcFile(3, 3);
  odd.resize(odd.size() - 5);  // the last frame cut short
  const Bytes shortHeader(odd.begin(), odd.begin() + 20);
  const std::tuple<const char*, Bytes, OpenResult, uint32_t> cases[] = {
      {"good", PcFile(3, 3), kOpened, 3},
      {"count below the data", PcFile(2, 3), kOpened, 2},
      {"lying count", PcFile(1000000, 3), kOpened, 3},
      {"truncated frame", odd, kOpened, 2},
      {"no frame", PcFile(0, 3), kDamaged, 0},
      {"header only", PcFile(5, 0), kDamaged, 0},
      {"short header", shortHeader, kNotThisFormat, 0},
      {"empty", Bytes(), kNotThisFormat, 0},
      {"wrong signature", PcFile(3, 3, "PIANOCORDEX"), kNotThisFormat, 0},
  };
  const auto dir = std::filesystem::temp_directory_path() / "tonvelo_pc_test";
  std::filesystem::create_directories(dir);
  for (const auto& [name, bytes, result, frames] : cases) {
    const auto path = dir / "song.pc";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    PianocorderSource source;
    ASSERT_EQ(LoadPianocorderSource(path, source), result) << name;
    if (result != kOpened) {
      EXPECT_EQ(source, nullptr) << name;
      continue;
    }
    EXPECT_EQ(source->frameCount, frames) << name;
    EXPECT_EQ(source->frames.size(), frames * 16u) << name;
    EXPECT_EQ(source->Frame(frames - 1)[0], frames - 1) << name;
  }
  PianocorderSource missing;
  EXPECT_EQ(LoadPianocorderSource(dir / "missing.pc", missing), kCannotOpen);
  std::filesystem::remove_all(dir);

  // The header's metadata survives a rebuild byte for byte.
  PianocorderFile file;
  const Bytes good = PcFile(3, 3);
  ASSERT_EQ(pianocorder_parse(good.data(), good.size(), file), kOpened);
  EXPECT_EQ(std::make_tuple(file.speed, file.metaNumber, file.metaValues[0], file.metaLastValue),
            std::make_tuple(4700, 0x0102, 3, 9));
  EXPECT_EQ(pianocorder_build(file), good);
}

}  // namespace
}  // namespace tonvelo
