#include "framework/tonvelo_format.h"

#include <algorithm>
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
  accompanimentFramesFetched_ = 0;
  accompanimentFailed_ = false;
  readAheadFailed_ = false;
  readAheadPos_ = readAheadFill_ = 0;
  antiPhase_ = false;
  if (accompanimentChannels_ != 2) return;

  // A stereo recording whose channels largely cancel would fold to near
  // silence; such files are taken from the left channel alone.
  uint32_t cancelling = 0;
  for (uint32_t k = 0; k < accompanimentLengthFrames_;) {
    const uint32_t want = std::min(kBlockFrames, accompanimentLengthFrames_ - k);
    const uint32_t got = accompaniment->ReadFrames(rawBlock_, want);
    for (uint32_t i = 0; i < got; ++i) {
      const int l = rawBlock_[2 * i], r = rawBlock_[2 * i + 1];
      const int sum = std::abs(l + r);
      if (sum < std::abs(l / 3) && sum < std::abs(r / 3)) ++cancelling;
    }
    k += got;
    if (got < want) break;
  }
  if (cancelling > accompanimentLengthFrames_ / 5) antiPhase_ = true;
  (void)accompaniment->Rewind();
}

void CTonveloFormat::ReadAccompanimentBlock() {
  const uint32_t first = accompanimentFramesFetched_;
  const uint32_t n = accompanimentLengthFrames_;
  const uint32_t want = std::min(kBlockFrames, n - first);
  const uint32_t got = accompaniment_->ReadFrames(rawBlock_, want);
  // A reader that fails once (a truncated file) never recovers; the frames
  // before the failure still play.
  if (got < want) readAheadFailed_ = true;
  const int16_t* in = rawBlock_;
  if (accompanimentChannels_ < 2 || antiPhase_) {
    for (uint32_t i = 0; i < got; ++i) readAhead_[i] = in[2 * i];
  } else {
    // Frames carry at most two channels; a constant divisor keeps the fold
    // cheap. Truncates toward zero, like the mean of any channel count would.
    for (uint32_t i = 0; i < got; ++i) {
      readAhead_[i] = static_cast<int16_t>((in[2 * i] + in[2 * i + 1]) / 2);
    }
  }
  // Fades over the first and last kFadeFrames frames, by frame index k:
  // s * k / 400 going in, s * (n - k) / 400 going out, truncated. The products
  // are exact in 32 bits, so this is the same as the division in double.
  const uint32_t end = first + got;
  for (uint32_t k = first; k < std::min(end, kFadeFrames); ++k) {
    int16_t& s = readAhead_[k - first];
    s = static_cast<int16_t>(s * static_cast<int>(k) / static_cast<int>(kFadeFrames));
  }
  const uint32_t fadeOutFrom = n > kFadeFrames ? n - kFadeFrames + 1 : 0;
  for (uint32_t k = std::max({first, fadeOutFrom, kFadeFrames}); k < end; ++k) {
    int16_t& s = readAhead_[k - first];
    s = static_cast<int16_t>(s * static_cast<int>(n - k) / static_cast<int>(kFadeFrames));
  }
  accompanimentFramesFetched_ = end;
  readAheadPos_ = 0;
  readAheadFill_ = got;
}

void CTonveloFormat::FillAccompaniment(int16_t* dst, uint32_t stride, uint32_t count) {
  uint32_t i = 0;
  while (i < count) {
    const uint32_t left = count - i;
    if (accompaniment_ == nullptr || accompanimentFailed_ ||
        (accompanimentDelayFrames_ == 0 &&
         accompanimentFramesRead_ >= accompanimentLengthFrames_)) {
      for (; i < count; ++i) dst[i * stride] = 0;
      return;
    }
    if (accompanimentDelayFrames_ > 0) {
      const uint32_t n = std::min(left, accompanimentDelayFrames_);
      for (uint32_t j = 0; j < n; ++j, ++i) dst[i * stride] = 0;
      accompanimentDelayFrames_ -= n;
      continue;
    }
    if (readAheadPos_ == readAheadFill_) {
      // The frame that met the failure is silent and not counted; from then on
      // the recording counts as ended.
      if (readAheadFailed_) {
        accompanimentFailed_ = true;
      } else {
        ReadAccompanimentBlock();
      }
      continue;
    }
    const uint32_t n = std::min(left, readAheadFill_ - readAheadPos_);
    const int16_t* src = readAhead_ + readAheadPos_;
    for (uint32_t j = 0; j < n; ++j, ++i) dst[i * stride] = src[j];
    readAheadPos_ += n;
    accompanimentFramesRead_ += n;
  }
}

// A null `data` writes silence on the data channel.
Result CTonveloFormat::WriteData(const int16_t* data, uint32_t count) {
  const uint32_t dataAt = dataChannel_ == DataChannel::kLeft ? 0 : 1;
  while (count > 0) {
    const uint32_t n = std::min(count, kBlockFrames);
    FillAccompaniment(outBlock_ + (1 - dataAt), 2, n);
    int16_t* out = outBlock_ + dataAt;
    if (data != nullptr) {
      for (uint32_t i = 0; i < n; ++i) out[2 * i] = data[i];
      data += n;
    } else {
      for (uint32_t i = 0; i < n; ++i) out[2 * i] = 0;
    }
    if (output_->WriteFrames(outBlock_, n) != AudioResult::kOk) return Result::kWriteError;
    count -= n;
  }
  return Result::kSuccess;
}

Result CTonveloFormat::WriteSilence(uint32_t frames) { return WriteData(nullptr, frames); }

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
