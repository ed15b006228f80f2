#pragma once
// Loading a music file whole, in two reads: its fixed header first, and the
// rest only once the header shows the file is in the reader's format, so
// trying a reader on a file of another format costs one short read.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo {

// Looks at the header before the rest is read: kOpened reads on, any other
// result ends the load and is returned as it is.
using FileImageCheck = OpenResult (*)(const uint8_t* header, uint32_t fileSize);

// What a reader reports for each short read; the readers differ on what a
// file cut off after its header means.
struct FileImageResults {
  OpenResult shortHeader;  // the header could not be read whole
  OpenResult shortRest;    // the bytes after it could not be read whole
};

// Header and rest into `image`, which is only touched when the whole file
// arrived. kCannotOpen when the file cannot be opened, kOutOfMemory when its
// bytes do not fit in memory.
[[nodiscard]] OpenResult file_image_load(const std::filesystem::path& path, uint32_t headerBytes,
                                         FileImageCheck check, const FileImageResults& results,
                                         std::vector<uint8_t>& image);

}  // namespace tonvelo
