#include "readers/file_image.h"

#include <new>
#include <utility>

#include "audio/byte_file.h"

namespace tonvelo {

OpenResult file_image_load(const std::filesystem::path& path, uint32_t headerBytes,
                           FileImageCheck check, const FileImageResults& results,
                           std::vector<uint8_t>& image) {
  FileHandle h = kInvalidFile;
  if (!file_open_read(path, h)) return OpenResult::kCannotOpen;
  OpenResult r = OpenResult::kOpened;
  try {
    std::vector<uint8_t> bytes(headerBytes);
    const uint32_t size = file_size(h);
    if (!file_read(h, bytes.data(), headerBytes) || size < headerBytes) {
      r = results.shortHeader;
    } else if ((r = check(bytes.data(), size)) == OpenResult::kOpened) {
      bytes.resize(size);
      if (!file_read(h, bytes.data() + headerBytes, size - headerBytes)) {
        r = results.shortRest;
      } else {
        image = std::move(bytes);
      }
    }
  } catch (const std::bad_alloc&) {
    r = OpenResult::kOutOfMemory;
  }
  file_close(h);
  return r;
}

}  // namespace tonvelo
