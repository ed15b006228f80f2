#pragma once
// Output writer for 16-bit stereo WAV files. Title, tags and quality do not
// apply to WAV and are ignored.

#include "audio/pcm_out.h"
#include "audio/wave_file.h"

namespace tonvelo {

class CPCMOut_WAV : public CPCMOut {
 public:
  CPCMOut_WAV() = default;
  ~CPCMOut_WAV() override;

  // Patches the header; the destructor does it too for a writer not closed.
  AudioResult Close() override;

 protected:
  [[nodiscard]] AudioResult OpenFile(const std::filesystem::path& path, uint32_t sampleRateHz,
                                     const std::string& title,
                                     const std::filesystem::path& tagsPath,
                                     bool highQuality) override;
  [[nodiscard]] AudioResult PutFrames(const int16_t* interleaved, uint32_t count) override;

 private:
  CWaveFile wave_;
};

}  // namespace tonvelo
