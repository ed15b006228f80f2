#pragma once
// Pianocorder data files (".pc"): finished Pianocorder frames with a short
// header, the source of a replay that bypasses the music readers.
//
//   0  "PIANOCORDER"        17  metadata number (u16)
//  11  frame count (u32)    19  metadata byte, then values stored + 0x20 ...
//  15  speed, bits/s (u16)  32  16-byte frames
// Numbers are big-endian. The header's count is not trusted: only the whole
// frames actually present are kept, and a file without any is refused.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo {

constexpr uint32_t kPianocorderHeaderBytes = 32;
constexpr uint32_t kPianocorderFrameBytes = 16;
constexpr char kPianocorderSignature[] = "PIANOCORDER";

struct PianocorderFile {
  std::filesystem::path path;
  uint32_t frameCount = 0;      // frames held in `frames`
  uint32_t declaredFrames = 0;  // what the header announced
  uint16_t speed = 0;           // bits per second the frames were recorded at
  // Header metadata, carried but not interpreted.
  uint16_t metaNumber = 0;
  uint8_t metaByte = 0;
  uint8_t metaValues[2] = {};
  uint8_t metaBytes[5] = {};
  uint8_t metaLastValue = 0;    // 0 for none
  std::vector<uint8_t> frames;  // frameCount * 16 bytes

  const uint8_t* Frame(uint32_t i) const {
    return frames.data() + size_t{i} * kPianocorderFrameBytes;
  }
};

using PianocorderSource = std::shared_ptr<PianocorderFile>;

// kOpened with `file` filled; kNotThisFormat for a short header or a wrong
// signature, kDamaged for a file without a single whole frame.
[[nodiscard]] OpenResult pianocorder_parse(const uint8_t* data, size_t size, PianocorderFile& file);

// As pianocorder_parse, from a file; also kCannotOpen and kOutOfMemory.
[[nodiscard]] OpenResult LoadPianocorderSource(const std::filesystem::path& path,
                                               PianocorderSource& source);
using PianocorderLoader =
    std::function<OpenResult(const std::filesystem::path&, PianocorderSource&)>;

// The file image of `file`'s frames with a header announcing them.
std::vector<uint8_t> pianocorder_build(const PianocorderFile& file);

}  // namespace tonvelo
