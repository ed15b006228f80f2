#pragma once
// Output writer interface. Encoders push stereo frames through WriteFrame;
// with frame doubling (Pianocorder at half speed) every frame is stored twice
// but counted once, so encoders keep their own timing.

#include <cstdint>
#include <filesystem>
#include <string>

#include "audio/pcm_in.h"

namespace tonvelo {

class CPCMOut {
 public:
  CPCMOut() = default;
  virtual ~CPCMOut() = default;
  CPCMOut(const CPCMOut&) = delete;
  CPCMOut& operator=(const CPCMOut&) = delete;

  // title: the music file's name without folder and extension (UTF-8).
  // tagsPath: the ".tags.txt" file beside the music file (MP3 only).
  // highQuality: an accompaniment is in use for this track.
  [[nodiscard]] AudioResult Open(const std::filesystem::path& path, uint32_t sampleRateHz,
                                 const std::string& title, const std::filesystem::path& tagsPath,
                                 bool highQuality, bool doubleFrames);
  [[nodiscard]] AudioResult WriteFrame(int16_t left, int16_t right) {
    AudioResult r = PutFrame(left, right);
    if (r != AudioResult::kOk) return r;
    if (doubleFrames_) r = PutFrame(left, right);
    ++frameCount_;
    return r;
  }
  virtual AudioResult Close() = 0;

  uint32_t GetFrameCount() const { return frameCount_; }

 protected:
  [[nodiscard]] virtual AudioResult OpenFile(const std::filesystem::path& path,
                                             uint32_t sampleRateHz, const std::string& title,
                                             const std::filesystem::path& tagsPath,
                                             bool highQuality) = 0;
  [[nodiscard]] virtual AudioResult PutFrame(int16_t left, int16_t right) = 0;

  uint32_t frameCount_ = 0;
  bool doubleFrames_ = false;
};

}  // namespace tonvelo
