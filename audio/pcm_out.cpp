#include "audio/pcm_out.h"

namespace tonvelo {

AudioResult CPCMOut::Open(const std::filesystem::path& path, uint32_t sampleRateHz,
                          const std::string& title, const std::filesystem::path& tagsPath,
                          bool highQuality, bool doubleFrames) {
  doubleFrames_ = doubleFrames;
  frameCount_ = 0;
  return OpenFile(path, sampleRateHz, title, tagsPath, highQuality);
}

}  // namespace tonvelo
