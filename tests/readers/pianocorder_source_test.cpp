#include "readers/pianocorder_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

namespace tonvelo {
namespace {

using Bytes = std::vector<uint8_t>;
using enum OpenResult;

// Header announcing `count` frames at 4700 bits/s, then `frames` frames
// whose first byte is their index.
Bytes PcFile(uint32_t count, uint32_t frames) {
  Bytes b{'P', 'I', 'A', 'N', 'O', 'C', 'O', 'R', 'D', 'E', 'R'};
  for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(count >> (8 * i)));
  b.insert(b.end(), {0x12, 0x5C, 0x01, 0x02, 0x07, 0x23, 0x25, 'A', 'B', 'C', 'D', 'E', 0x29});
  b.resize(32, 0);
  for (uint32_t i = 0; i < frames; ++i)
    b.insert(b.end(), {static_cast<uint8_t>(i), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFD});
  return b;
}

// Empty, wrong-signature and header-only files and high counts: the conversion thread's tests.
TEST(PianocorderSource, LoadsOnlyTheFramesPresent) {
  const Bytes good = PcFile(3, 3);
  const Bytes cut(good.begin(), good.end() - 5);  // the last frame cut short
  const auto path = std::filesystem::temp_directory_path() / "tonvelo_pc_source_test.pc";
  for (const auto& [name, bytes, result, frames] : {
           std::tuple{"good", good, kOpened, 3u},
           {"count below the data", PcFile(2, 3), kOpened, 2u},
           {"truncated frame", cut, kOpened, 2u},
           {"no frame", PcFile(0, 3), kDamaged, 0u},
           {"short header", Bytes(good.begin(), good.begin() + 20), kNotThisFormat, 0u},
       }) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    PianocorderSource source;
    ASSERT_EQ(LoadPianocorderSource(path, source), result) << name;
    ASSERT_EQ(source == nullptr, result != kOpened) << name;
    if (result != kOpened) continue;
    EXPECT_EQ(source->frameCount, frames) << name;
    EXPECT_EQ(source->frames.size(), frames * 16u) << name;
    EXPECT_EQ(source->Frame(frames - 1)[0], frames - 1) << name;
  }
  std::filesystem::remove(path);
  PianocorderSource missing;
  EXPECT_EQ(LoadPianocorderSource(path, missing), kCannotOpen);

  // The header's metadata survives a rebuild byte for byte.
  PianocorderFile file;
  ASSERT_EQ(pianocorder_parse(good.data(), good.size(), file), kOpened);
  EXPECT_EQ(std::make_tuple(file.speed, file.metaNumber, file.metaValues[0], file.metaLastValue),
            std::make_tuple(4700, 0x0102, 3, 9));
  EXPECT_EQ(pianocorder_build(file), good);
}

}  // namespace
}  // namespace tonvelo
