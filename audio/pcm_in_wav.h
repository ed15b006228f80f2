#pragma once
// Accompaniment reader for integer PCM WAV files, as stored (any rate, 8 or
// 16 bits, mono or stereo): the conversion thread decides what it accepts.

#include "audio/pcm_in.h"
#include "audio/wave_file.h"

namespace tonvelo {

class CPCMIn_WAV : public CPCMIn {
 public:
  CPCMIn_WAV() = default;
  ~CPCMIn_WAV() override;

  [[nodiscard]] AudioResult Open(const std::filesystem::path& path) override;
  [[nodiscard]] AudioResult ReadFrame(PcmFrame& frame) override;
  [[nodiscard]] uint32_t ReadFrames(int16_t* interleaved, uint32_t count) override;
  // Fails for a file with no frames.
  [[nodiscard]] AudioResult Rewind() override;
  AudioResult Close() override;

 private:
  CWaveFile wave_;
};

}  // namespace tonvelo
