#pragma once
// An accompaniment reader over frames held in memory. Mono sources fill only
// the left sample, as the real readers do. Reads can be made to fail from a
// given frame on.

#include <cstdint>
#include <utility>
#include <vector>

#include "audio/pcm_in.h"

namespace tonvelo::test {

class FakeAccompaniment : public CPCMIn {
 public:
  FakeAccompaniment(std::vector<PcmFrame> frames, uint32_t channels, uint32_t rateHz = 44100)
      : frames_(std::move(frames)) {
    lengthFrames_ = static_cast<uint32_t>(frames_.size());
    channels_ = channels;
    sampleRateHz_ = rateHz;
    bitsPerSample_ = 16;
  }
  static FakeAccompaniment Mono(const std::vector<int16_t>& samples, uint32_t rateHz = 44100) {
    std::vector<PcmFrame> f;
    for (int16_t s : samples) f.push_back({s, 0});
    return FakeAccompaniment(std::move(f), 1, rateHz);
  }

  void FailReadsFrom(size_t frame) { failFrom_ = frame; }
  int RewindCount() const { return rewinds_; }

  AudioResult Open(const std::filesystem::path&) override { return AudioResult::kOk; }
  AudioResult ReadFrame(PcmFrame& frame) override {
    if (next_ >= frames_.size() || next_ >= failFrom_) return AudioResult::kFailed;
    frame.left = frames_[next_].left;
    if (channels_ == 2) frame.right = frames_[next_].right;
    ++next_;
    return AudioResult::kOk;
  }
  uint32_t ReadFrames(int16_t* interleaved, uint32_t count) override {
    uint32_t n = 0;
    for (PcmFrame f; n < count && ReadFrame(f) == AudioResult::kOk; ++n, f = {}) {
      interleaved[2 * n] = f.left;
      interleaved[2 * n + 1] = f.right;
    }
    return n;
  }
  AudioResult Rewind() override {
    next_ = 0;
    ++rewinds_;
    return AudioResult::kOk;
  }
  AudioResult Close() override { return AudioResult::kOk; }

 private:
  std::vector<PcmFrame> frames_;
  size_t next_ = 0;
  size_t failFrom_ = SIZE_MAX;
  int rewinds_ = 0;
};

}  // namespace tonvelo::test
