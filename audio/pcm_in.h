#pragma once
// Accompaniment reader interface: delivers a WAV or MP3 recording as it is
// stored (no resampling, no channel or width conversion), frame by frame or in
// blocks of interleaved frames.

#include <cstdint>
#include <filesystem>

namespace tonvelo {

// The audio layer reports 0 for success and 1 for failure.
enum class AudioResult : int { kOk = 0, kFailed = 1 };

struct PcmFrame {
  int16_t left = 0;
  int16_t right = 0;
};

class CPCMIn {
 public:
  CPCMIn() = default;
  virtual ~CPCMIn() = default;
  CPCMIn(const CPCMIn&) = delete;
  CPCMIn& operator=(const CPCMIn&) = delete;

  [[nodiscard]] virtual AudioResult Open(const std::filesystem::path& path) = 0;
  // A mono source writes only frame.left.
  [[nodiscard]] virtual AudioResult ReadFrame(PcmFrame& frame) = 0;
  // The next `count` frames as left/right pairs (a mono source gives right 0).
  // Returns how many were delivered: fewer than asked means the read failed
  // after those. The block form the mixer uses, so no call is made per frame.
  [[nodiscard]] virtual uint32_t ReadFrames(int16_t* interleaved, uint32_t count) = 0;
  [[nodiscard]] virtual AudioResult Rewind() = 0;
  virtual AudioResult Close() = 0;

  uint32_t GetLength() const { return lengthFrames_; }
  uint32_t GetChannels() const { return channels_; }
  uint32_t GetSampleRate() const { return sampleRateHz_; }
  uint32_t GetBitsPerSample() const { return bitsPerSample_; }

 protected:
  uint32_t lengthFrames_ = 0;
  uint32_t channels_ = 0;
  uint32_t sampleRateHz_ = 0;
  uint32_t bitsPerSample_ = 0;
};

}  // namespace tonvelo
