#include "audio/pcm_out.h"

#include <algorithm>

namespace tonvelo {

AudioResult CPCMOut::Open(const std::filesystem::path& path, uint32_t sampleRateHz,
                          const std::string& title, const std::filesystem::path& tagsPath,
                          bool highQuality, bool doubleFrames) {
  doubleFrames_ = doubleFrames;
  frameCount_ = 0;
  return OpenFile(path, sampleRateHz, title, tagsPath, highQuality);
}

AudioResult CPCMOut::WriteFrame(int16_t left, int16_t right) {
  const int16_t frame[2] = {left, right};
  AudioResult r = PutFrames(frame, 1);
  if (r != AudioResult::kOk) return r;
  if (doubleFrames_) r = PutFrames(frame, 1);
  ++frameCount_;
  return r;
}

AudioResult CPCMOut::WriteFrames(const int16_t* interleaved, uint32_t count) {
  if (!doubleFrames_) {
    const AudioResult r = PutFrames(interleaved, count);
    if (r == AudioResult::kOk) frameCount_ += count;
    return r;
  }
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min(count - done, kDoubledFrames / 2);
    const int16_t* in = interleaved + 2 * done;
    for (uint32_t i = 0; i < n; ++i) {
      doubled_[4 * i] = doubled_[4 * i + 2] = in[2 * i];
      doubled_[4 * i + 1] = doubled_[4 * i + 3] = in[2 * i + 1];
    }
    const AudioResult r = PutFrames(doubled_, 2 * n);
    if (r != AudioResult::kOk) return r;
    done += n;
  }
  frameCount_ += count;
  return AudioResult::kOk;
}

}  // namespace tonvelo
