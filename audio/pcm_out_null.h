#pragma once
// Output writer that accepts and discards every frame and creates no file:
// the whole conversion runs, nothing is written.

#include "audio/pcm_out.h"

namespace tonvelo {

class CPCMOut_NULL : public CPCMOut {
 public:
  AudioResult Close() override;

 protected:
  [[nodiscard]] AudioResult OpenFile(const std::filesystem::path& path, uint32_t sampleRateHz,
                                     const std::string& title,
                                     const std::filesystem::path& tagsPath,
                                     bool highQuality) override;
  [[nodiscard]] AudioResult PutFrames(const int16_t* interleaved, uint32_t count) override;
};

}  // namespace tonvelo
