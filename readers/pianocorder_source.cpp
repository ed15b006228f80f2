#include "readers/pianocorder_source.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "readers/file_image.h"

namespace tonvelo {

namespace {

constexpr size_t kSignatureBytes = sizeof(kPianocorderSignature) - 1;
constexpr uint8_t kMetaOffset = 0x20;

uint32_t ReadBE(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

void PutBE(uint8_t* p, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

OpenResult CheckHeader(const uint8_t* header, uint32_t) {
  return std::memcmp(header, kPianocorderSignature, kSignatureBytes) == 0
             ? OpenResult::kOpened
             : OpenResult::kNotThisFormat;
}

}  // namespace

OpenResult pianocorder_parse(const uint8_t* data, size_t size, PianocorderFile& file) {
  if (size < kPianocorderHeaderBytes) return OpenResult::kNotThisFormat;
  if (CheckHeader(data, 0) != OpenResult::kOpened) return OpenResult::kNotThisFormat;
  const size_t present = (size - kPianocorderHeaderBytes) / kPianocorderFrameBytes;
  const uint32_t declared = ReadBE(data + 11, 4);
  const auto count = static_cast<uint32_t>(std::min<size_t>(declared, present));
  if (count == 0) return OpenResult::kDamaged;

  file.declaredFrames = declared;
  file.frameCount = count;
  file.speed = static_cast<uint16_t>(ReadBE(data + 15, 2));
  file.metaNumber = static_cast<uint16_t>(ReadBE(data + 17, 2));
  file.metaByte = data[19];
  file.metaValues[0] = static_cast<uint8_t>(data[20] - kMetaOffset);
  file.metaValues[1] = static_cast<uint8_t>(data[21] - kMetaOffset);
  std::memcpy(file.metaBytes, data + 22, sizeof(file.metaBytes));
  file.metaLastValue = data[27] == 0 ? 0 : static_cast<uint8_t>(data[27] - kMetaOffset);
  const uint8_t* first = data + kPianocorderHeaderBytes;
  file.frames.assign(first, first + size_t{count} * kPianocorderFrameBytes);
  return OpenResult::kOpened;
}

OpenResult LoadPianocorderSource(const std::filesystem::path& path, PianocorderSource& source) {
  std::vector<uint8_t> image;
  OpenResult r = file_image_load(path, kPianocorderHeaderBytes, CheckHeader,
                                 {OpenResult::kNotThisFormat, OpenResult::kDamaged}, image);
  if (r != OpenResult::kOpened) return r;
  try {
    auto file = std::make_shared<PianocorderFile>();
    r = pianocorder_parse(image.data(), image.size(), *file);
    if (r != OpenResult::kOpened) return r;
    file->path = path;
    source = std::move(file);
  } catch (const std::bad_alloc&) {
    return OpenResult::kOutOfMemory;
  }
  return OpenResult::kOpened;
}

std::vector<uint8_t> pianocorder_build(const PianocorderFile& file) {
  std::vector<uint8_t> image(kPianocorderHeaderBytes, 0);
  std::memcpy(image.data(), kPianocorderSignature, kSignatureBytes);
  PutBE(&image[11], file.frameCount, 4);
  PutBE(&image[15], file.speed, 2);
  PutBE(&image[17], file.metaNumber, 2);
  image[19] = file.metaByte;
  image[20] = static_cast<uint8_t>(file.metaValues[0] + kMetaOffset);
  image[21] = static_cast<uint8_t>(file.metaValues[1] + kMetaOffset);
  std::memcpy(&image[22], file.metaBytes, sizeof(file.metaBytes));
  image[27] = file.metaLastValue == 0 ? 0 : static_cast<uint8_t>(file.metaLastValue + kMetaOffset);
  const size_t bytes =
      std::min(file.frames.size(), size_t{file.frameCount} * kPianocorderFrameBytes);
  image.insert(image.end(), file.frames.begin(), file.frames.begin() + static_cast<long>(bytes));
  return image;
}

}  // namespace tonvelo
