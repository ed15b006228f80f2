#include "encoders/pianocorder/mid2pianocorder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tonvelo {

namespace {

// What the player follows: the modulator's rate only in this window, the
// ramp towards a recorded speed in a wider one.
constexpr uint32_t kReplayRateLow = 4300;
constexpr uint32_t kRampRateLow = 4000;
constexpr uint32_t kReplayRateHigh = 5100;
constexpr double kFramesPerSecond = 35.15625;  // at 4500 bits per second

}  // namespace

void CMid2Pianocorder::SetSourceFile(const PianocorderFile* file) {
  file_ = file;
  if (file != nullptr)
    unitRate_ = std::clamp<uint32_t>(file->speed, kReplayRateLow, kReplayRateHigh);
}

void CMid2Pianocorder::MakeIdleFrame(const uint8_t* frame, uint8_t* idle) {
  std::memcpy(idle, frame, kFrameBytes);
  idle[0] &= 0x3F;  // both pedals up
  std::memset(idle + 1, 0, 7);
  std::memset(idle + 9, 0, 5);
}

Result CMid2Pianocorder::Encode() { return file_ != nullptr ? Replay() : EncodeMusic(); }

Result CMid2Pianocorder::Replay() {
  if (!StartModulator(unitRate_)) return Result::kOutOfMemory;
  SetAccompanimentDelay(1.0);
  uint8_t idle[kFrameBytes];
  MakeIdleFrame(file_->Frame(0), idle);

  // The rate glides from the nominal one to the recorded one during the
  // first second, so the player's clock can follow it.
  const auto target =
      static_cast<double>(std::clamp<uint32_t>(file_->speed, kRampRateLow, kReplayRateHigh));
  const double step = (target - kPianocorderUnitRate) / kFramesPerSecond;
  double current = kPianocorderUnitRate;
  const uint32_t leadIn = SecondsToSamples(1.0);
  while (FramesWritten() < leadIn) {
    if (IsCancelled()) return Result::kCancelled;
    const Result r = SendFrame(idle);
    if (r != Result::kSuccess) return r;
    if (std::fabs(target - current) <= std::fabs(step)) {
      if (current != target) {
        current = target;
        if (!ChangeUnitRate(static_cast<uint32_t>(target))) return Result::kOutOfMemory;
      }
    } else {
      current += step;
      if (!ChangeUnitRate(static_cast<uint32_t>(current + 0.5))) return Result::kOutOfMemory;
    }
  }

  const uint32_t count = file_->frameCount;
  for (uint32_t i = 0; i < count; ++i) {
    if (IsCancelled()) return Result::kCancelled;
    PostProgress(static_cast<uint32_t>(uint64_t{i} * 100 / count));
    const Result r = SendFrame(file_->Frame(i));
    if (r != Result::kSuccess) return r;
  }
  MakeIdleFrame(file_->Frame(count - 1), idle);
  return SendTail(idle);
}

}  // namespace tonvelo
