#include "encoders/pianocorder/frame_format.h"

#include <new>

namespace tonvelo {

namespace {

constexpr double kLeadInSeconds = 0.79;  // music time 0 lies here
constexpr double kRunOutSeconds = 0.75;
constexpr double kTailSeconds = 0.25;
constexpr uint8_t kPercussionChannel = 9;
constexpr uint8_t kPianoPrograms = 8;  // programs 0-7 are pianos
constexpr uint8_t kSustainController = 64;
constexpr uint8_t kSoftController = 67;

}  // namespace

CFrameFormat::CFrameFormat(const FrameScheduleParams& params)
    : schedule_(params), unitRate_(params.unitRate) {}

bool CFrameFormat::StartModulator(uint32_t unitRate) {
  const FrameScheduleParams& p = schedule_.Params();
  SetDataChannel(p.dataOnLeft ? DataChannel::kLeft : DataChannel::kRight);
  modulator_.reset(symmod_create(sampleRateHz_, unitRate, p.amplitude, MOD_PULSE_SINE, LAYOUT_MONO,
                                 SYMMOD_MSB_FIRST));
  bufferSize_ = 0;
  return modulator_ != nullptr && ChangeUnitRate(unitRate);
}

bool CFrameFormat::ChangeUnitRate(uint32_t unitRate) {
  if (symmod_set_unit_rate(modulator_.get(), unitRate) != 0) return false;
  // A slower rate makes longer frames; the buffer grows to whole frames.
  const uint32_t needed = symmod_bytes_output_size(modulator_.get(), kFrameBytes);
  if (needed > bufferSize_) {
    buffer_.reset(new (std::nothrow) int16_t[needed]);
    bufferSize_ = buffer_ != nullptr ? needed : 0;
    if (buffer_ == nullptr) return false;
  }
  return true;
}

Result CFrameFormat::SendFrame(const uint8_t* frame) {
  const uint32_t n = symmod_put_bytes(modulator_.get(), frame, kFrameBytes, buffer_.get());
  // The frame count is 32 bits wide; no output can go on past it.
  if (FramesWritten() > UINT32_MAX - n) return Result::kWriteError;
  return WriteData(buffer_.get(), n);
}

Result CFrameFormat::SendScheduleUntil(uint32_t frames) {
  uint8_t frame[kFrameBytes];
  while (FramesWritten() < frames) {
    if (IsCancelled()) return Result::kCancelled;
    schedule_.NextFrame(frame);
    const Result r = SendFrame(frame);
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CFrameFormat::SendTail(const uint8_t* frame) {
  const uint32_t until = FramesWritten() + SecondsToSamples(kTailSeconds);
  uint8_t next[kFrameBytes];
  while (FramesWritten() < until || !IsAccompanimentFinished()) {
    if (IsCancelled()) return Result::kCancelled;
    if (frame == nullptr) schedule_.NextFrame(next);
    const Result r = SendFrame(frame != nullptr ? frame : next);
    if (r != Result::kSuccess) return r;
  }
  return WriteSilence(SecondsToSamples(1.0));
}

Result CFrameFormat::EncodeMusic() {
  sustainChannel_ = source_->FindSustainChannel();
  softChannel_ = source_->FindSoftChannel();
  if (!StartModulator(unitRate_)) return Result::kOutOfMemory;
  SetAccompanimentDelay(1.0);
  for (uint8_t c = 0; c < 16; ++c) merged_[c] = c != kPercussionChannel;
  schedule_.Reset();
  if (velocityProfile_ == 1) {
    schedule_.BuildLevelTable(25, 95);
  } else {
    schedule_.BuildLevelTable(1, 127);
  }
  startFrame_ = SecondsToSamples(kLeadInSeconds);
  Result r = SendScheduleUntil(startFrame_);
  if (r != Result::kSuccess) return r;

  // Times in microseconds x ticks per quarter, so event times (delta x
  // tempo) need no division.
  const auto division = static_cast<unsigned __int128>(source_->GetDivision());
  const uint64_t rate = sampleRateHz_;
  auto outputTime = [&](uint32_t frames) {
    return static_cast<int64_t>((division * frames * 2000000u + rate) / (2 * rate));
  };
  const auto bit = static_cast<int64_t>((division * 2000000u + unitRate_) / (2u * unitRate_));

  uint32_t boundary = FramesWritten() - startFrame_;  // frames since music time 0
  int64_t t = outputTime(boundary);
  int64_t bitsAdded = 0;  // estimate since the last frame boundary
  int64_t e = 0;
  uint32_t b = 0;
  bool pending = false;
  bool leadingSilence = accompaniment_ == nullptr;
  MusicEvent ev;
  uint8_t frame[kFrameBytes];
  while (!IsCancelled()) {
    while (t >= e) {
      t -= e;
      schedule_.SetBitPosition(b);
      if (pending) ApplyEvent(ev);
      const ReadResult rr = source_->ReadEvent(ev);
      if (rr == ReadResult::kEnd) return FinishMusic();
      if (rr != ReadResult::kEvent) return Result::kSourceDamaged;
      pending = true;
      PostProgress(source_->GetPercentDone());
      uint64_t delta = ev.delta;
      if (ev.kind == kEventMeta && ev.status == 0x2F) delta = 0;
      if (leadingSilence) {
        delta = 0;
        const uint8_t kind = ev.status & 0xF0;
        if (ev.kind == kEventChannel && kind >= 0x80 && kind <= 0xB0) leadingSilence = false;
      }
      e = static_cast<int64_t>(delta * ev.tempo);
    }
    if (++b < kFrameBits) {
      t += bit;
      bitsAdded += bit;
      continue;
    }
    schedule_.NextFrame(frame);
    r = SendFrame(frame);
    if (r != Result::kSuccess) return r;
    b = 0;
    const uint32_t now = FramesWritten() - startFrame_;
    t += outputTime(now) - outputTime(boundary) - bitsAdded;
    boundary = now;
    bitsAdded = 0;
  }
  return Result::kCancelled;
}

void CFrameFormat::ApplyEvent(const MusicEvent& ev) {
  if (ev.kind != kEventChannel) return;
  const uint8_t kind = ev.status & 0xF0;
  const uint8_t c = ev.status & 0x0F;
  if (kind == 0xC0) {
    if (ev.length >= 1 && c != kPercussionChannel) merged_[c] = ev.data[0] < kPianoPrograms;
    return;
  }
  if (ev.length < 2 || !merged_[c]) return;
  const uint8_t d1 = ev.data[0] & 0x7F;
  const uint8_t d2 = ev.data[1] & 0x7F;
  if (kind == 0x80) {
    schedule_.Note(d1, 0);
  } else if (kind == 0x90) {
    schedule_.Note(d1, d2);
  } else if (kind == 0xB0) {
    if (d1 == kSustainController && c == sustainChannel_) schedule_.Pedal(kPedalSustain, d2);
    if (d1 == kSoftController && c == softChannel_) schedule_.Pedal(kPedalSoft, d2);
  }
}

Result CFrameFormat::FinishMusic() {
  Result r = SendScheduleUntil(FramesWritten() + SecondsToSamples(kRunOutSeconds));
  if (r != Result::kSuccess) return r;
  schedule_.Reset();
  return SendTail(nullptr);
}

}  // namespace tonvelo
