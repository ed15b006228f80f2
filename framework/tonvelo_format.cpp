#include "framework/tonvelo_format.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tonvelo {

void CTonveloFormat::SetSampleRate(uint32_t rateHz) {
  sampleRateHz_ = rateHz;
  accompanimentDelayFrames_ = rateHz;
}

namespace {
// Truncation toward zero, saturated so that absurd times (a day-long gap
// summed over many events) cannot overflow the conversion.
uint32_t TruncToFrames(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 4294967295.0) return UINT32_MAX;
  return static_cast<uint32_t>(v);
}
}  // namespace

uint32_t CTonveloFormat::SecondsToSamples(double seconds) const {
  return TruncToFrames(static_cast<double>(sampleRateHz_) * seconds + 0.5);
}

void CTonveloFormat::SetTitle(const std::string& fileTitle) {
  size_t i = 0;
  // A track-number prefix such as "07) " is not part of the title.
  while (i < fileTitle.size() && fileTitle[i] >= '0' && fileTitle[i] <= '9') ++i;
  while (i < fileTitle.size() && fileTitle[i] == ')') ++i;
  while (i < fileTitle.size() && fileTitle[i] == ' ') ++i;
  std::memset(title_, 0, sizeof(title_));
  size_t n = 0;
  for (; i < fileTitle.size() && n < kTitleBytes - 1; ++i) {
    const auto c = static_cast<unsigned char>(fileTitle[i]);
    if (c >= 0x20 && c <= 0x7E) title_[n++] = static_cast<char>(c);
  }
}

void CTonveloFormat::SetAccompaniment(CPCMIn* accompaniment) {
  if (accompaniment == nullptr) return;
  accompaniment_ = accompaniment;
  accompanimentChannels_ = accompaniment->GetChannels();
  accompanimentLengthFrames_ = accompaniment->GetLength();
  accompanimentFramesRead_ = 0;
  accompanimentFailed_ = false;
  antiPhase_ = false;
  if (accompanimentChannels_ != 2) return;

  // A stereo recording whose channels largely cancel would fold to near
  // silence; such files are taken from the left channel alone.
  uint32_t cancelling = 0;
  for (uint32_t k = 0; k < accompanimentLengthFrames_; ++k) {
    PcmFrame f;
    if (accompaniment->ReadFrame(f) != AudioResult::kOk) break;
    const int l = f.left, r = f.right;
    const int sum = std::abs(l + r);
    if (sum < std::abs(l / 3) && sum < std::abs(r / 3)) ++cancelling;
  }
  if (cancelling > accompanimentLengthFrames_ / 5) antiPhase_ = true;
  (void)accompaniment->Rewind();
}

int16_t CTonveloFormat::NextAccompanimentSample() {
  if (accompaniment_ == nullptr) return 0;
  if (accompanimentDelayFrames_ > 0) {
    --accompanimentDelayFrames_;
    return 0;
  }
  if (accompanimentFailed_ || accompanimentFramesRead_ >= accompanimentLengthFrames_) return 0;
  PcmFrame f;
  if (accompaniment_->ReadFrame(f) != AudioResult::kOk) {
    // A reader that fails once (a truncated file) never recovers; treating
    // the recording as ended keeps encoders that wait for its end finite.
    accompanimentFailed_ = true;
    return 0;
  }
  int s;
  if (accompanimentChannels_ < 2 || antiPhase_) {
    s = f.left;
  } else {
    // Frames carry at most two channels; a constant divisor keeps the
    // per-frame division cheap. Truncates toward zero, like the mean of any
    // channel count would.
    s = (f.left + f.right) / 2;
  }
  const uint32_t k = accompanimentFramesRead_;
  const uint32_t n = accompanimentLengthFrames_;
  if (k < kFadeFrames) {
    s = static_cast<int>(s * static_cast<double>(k) / 400.0);
  } else if (n - k < kFadeFrames) {
    s = static_cast<int>(s * static_cast<double>(n - k) / 400.0);
  }
  ++accompanimentFramesRead_;
  return static_cast<int16_t>(s);
}

Result CTonveloFormat::WriteData(const int16_t* data, uint32_t count) {
  if (dataChannel_ == DataChannel::kLeft) {
    for (uint32_t i = 0; i < count; ++i) {
      if (output_->WriteFrame(data[i], NextAccompanimentSample()) != AudioResult::kOk) {
        return Result::kWriteError;
      }
    }
  } else {
    for (uint32_t i = 0; i < count; ++i) {
      if (output_->WriteFrame(NextAccompanimentSample(), data[i]) != AudioResult::kOk) {
        return Result::kWriteError;
      }
    }
  }
  return Result::kSuccess;
}

Result CTonveloFormat::WriteSilence(uint32_t frames) {
  for (uint32_t i = 0; i < frames; ++i) {
    const int16_t other = NextAccompanimentSample();
    const AudioResult r = dataChannel_ == DataChannel::kLeft ? output_->WriteFrame(0, other)
                                                             : output_->WriteFrame(other, 0);
    if (r != AudioResult::kOk) return Result::kWriteError;
  }
  return Result::kSuccess;
}

bool CTonveloFormat::IsAccompanimentFinished() const {
  return accompaniment_ == nullptr || accompanimentFailed_ ||
         accompanimentFramesRead_ >= accompanimentLengthFrames_;
}

void CTonveloFormat::PostProgress(uint32_t percent) {
  if (percent == lastProgress_) return;
  lastProgress_ = percent;
  if (events_ != nullptr) events_->OnProgress(percent);
}

Result CTonveloFormat::NextEvent(MusicEvent& ev) {
  if (IsCancelled()) return Result::kCancelled;
  const ReadResult r = source_->ReadEvent(ev);
  if (r == ReadResult::kEnd) return Result::kEndOfEvents;
  if (r == ReadResult::kDamaged) return Result::kSourceDamaged;

  // Without an accompaniment the time before the first sounding event is
  // dropped; with one, all timing stays so music and recording line up.
  if (accompaniment_ == nullptr && leadingSilencePending_) {
    ev.delta = 0;
    if (ev.kind == kEventChannel || ev.kind == kEventSysEx) leadingSilencePending_ = false;
  }
  if (ev.kind == kEventMeta && ev.status == 0x2F) ev.delta = 0;
  elapsed_ += static_cast<uint64_t>(ev.tempo) * ev.delta;
  if (firstEventPending_) {
    firstEventPending_ = false;
    startPosition_ = GetPosition();
  }
  const double division = static_cast<double>(source_->GetDivision());
  const uint32_t target = TruncToFrames(static_cast<double>(elapsed_) / (division * 1000000.0) *
                                            static_cast<double>(sampleRateHz_) +
                                        0.5);
  Result last = Result::kSuccess;
  while (GetPosition() - startPosition_ + halfUnitFrames_ < target) {
    // A hostile file can ask for days of signal before its next event: the
    // wait stays cancellable, and ends once the 32-bit frame count would wrap
    // (no output can hold that many frames; the loop would never end).
    if (IsCancelled()) return Result::kCancelled;
    const uint32_t before = GetPosition();
    last = Advance();
    if (last != Result::kSuccess) return last;
    if (GetPosition() < before) return Result::kWriteError;
    // Measured from the first event, so whatever was sent for events at
    // time zero before this first Advance counts into the "half unit" and
    // every later event is released that much earlier. Kept exactly so: the
    // timing of the signal is part of the format's behaviour.
    if (halfUnitFrames_ == 0) halfUnitFrames_ = (GetPosition() - startPosition_) / 2;
  }
  PostProgress(source_->GetPercentDone());
  return last;
}

bool CTonveloFormat::IsYamahaPianoSysex(const MusicEvent& ev) {
  return ev.status == 0xF0 && ev.length >= 3 && ev.data[0] == 0x43 && ev.data[1] == 0x71 &&
         (ev.data[2] == 0x7B || ev.data[2] == 0x7E);
}

}  // namespace tonvelo
