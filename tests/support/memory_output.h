#pragma once
// An output writer that keeps every frame in memory, for encoder tests. It can
// be told to fail from a given frame on, to exercise the write-error paths.

#include <cstdint>
#include <vector>

#include "audio/pcm_out.h"

namespace tonvelo::test {

class MemoryOutput : public CPCMOut {
 public:
  // Writing fails once `frames` frames have been stored; the frames of the
  // failing block before that point are kept.
  void FailAfter(size_t frames) { failAfter_ = frames; }

  const std::vector<int16_t>& Left() const { return left_; }
  const std::vector<int16_t>& Right() const { return right_; }
  size_t Size() const { return left_.size(); }

  AudioResult Close() override { return AudioResult::kOk; }

 protected:
  AudioResult OpenFile(const std::filesystem::path&, uint32_t, const std::string&,
                       const std::filesystem::path&, bool) override {
    return AudioResult::kOk;
  }
  AudioResult PutFrames(const int16_t* interleaved, uint32_t count) override {
    for (uint32_t i = 0; i < count; ++i) {
      if (left_.size() >= failAfter_) return AudioResult::kFailed;
      left_.push_back(interleaved[2 * i]);
      right_.push_back(interleaved[2 * i + 1]);
    }
    return AudioResult::kOk;
  }

 private:
  std::vector<int16_t> left_, right_;
  size_t failAfter_ = SIZE_MAX;
};

}  // namespace tonvelo::test
