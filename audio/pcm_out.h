#pragma once
// Output writer interface. The framework hands it blocks of interleaved
// stereo frames through WriteFrames; with frame doubling (Pianocorder at half
// speed) every frame is stored twice but counted once, so encoders keep their
// own timing.

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
  // `count` left/right pairs. A block that fails is not counted.
  [[nodiscard]] AudioResult WriteFrames(const int16_t* interleaved, uint32_t count);
  // One frame. Doubled, a failing first copy stops before the second and
  // counts nothing; a failing second copy is reported after the frame counted.
  [[nodiscard]] AudioResult WriteFrame(int16_t left, int16_t right);
  virtual AudioResult Close() = 0;

  uint32_t GetFrameCount() const { return frameCount_; }

 protected:
  [[nodiscard]] virtual AudioResult OpenFile(const std::filesystem::path& path,
                                             uint32_t sampleRateHz, const std::string& title,
                                             const std::filesystem::path& tagsPath,
                                             bool highQuality) = 0;
  // Stores `count` interleaved frames, each exactly once.
  [[nodiscard]] virtual AudioResult PutFrames(const int16_t* interleaved, uint32_t count) = 0;

  uint32_t frameCount_ = 0;
  bool doubleFrames_ = false;

 private:
  static constexpr uint32_t kDoubledFrames = 2048;  // doubled frames per PutFrames call
  int16_t doubled_[2 * kDoubledFrames] = {};
};

}  // namespace tonvelo
