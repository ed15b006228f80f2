#include "encoders/mid2pianodisc.h"

#include <algorithm>
#include <iterator>

#include "encoders/velocity_expansion.h"

namespace tonvelo {

namespace {

constexpr uint8_t kTitleHeader[] = {0xF0, 0x00, 0x00, 0x2A, 0x00, 0x01, 0x01};
constexpr uint8_t kPedalsOff[] = {0xB0, 0x40, 0x00, 0xB0, 0x42, 0x00, 0xB0, 0x43, 0x00};

}  // namespace

std::vector<uint8_t> CMid2PianoDisc::BuildTitleMessage(const char* title) {
  uint8_t text[kPianoDiscTitleChars] = {};
  size_t stored = 0;
  char previous = ' ';  // so leading spaces go
  for (const char* p = title; *p != '\0' && stored < kPianoDiscTitleChars; ++p) {
    const char c = *p == '_' ? ' ' : *p;
    if (c == ' ' && previous == ' ') continue;
    previous = c;
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u <= 0x7E) text[stored++] = u;
  }
  if (stored == 0) return {};
  std::vector<uint8_t> message(std::begin(kTitleHeader), std::end(kTitleHeader));
  message.insert(message.end(), text, text + kPianoDiscTitleChars);
  message.push_back(0x00);
  message.push_back(0xF7);
  return message;
}

Result CMid2PianoDisc::SendByte(uint8_t b) {
  // Start half-cycle, eight bits from the most significant, optional stops.
  uint8_t symbols[11];
  uint32_t n = 0;
  symbols[n++] = 1;
  for (int i = 7; i >= 0; --i) symbols[n++] = (b >> i) & 1;
  if (!noStopBits_) {
    symbols[n++] = 0;
    symbols[n++] = 0;
  }
  return EmitSymbols(symbols, n);
}

Result CMid2PianoDisc::SendBytes(const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const Result r = SendByte(bytes[i]);
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CMid2PianoDisc::SendEvent(uint8_t status, const uint8_t* data, uint32_t length) {
  const uint8_t kind = status & 0xF0;
  const uint8_t channel = status & 0x0F;
  if (kind == 0xA0 || kind == 0xD0 || kind == 0xE0 || kind == 0xF0) return Result::kSuccess;
  if (kind == 0xC0 && length < 1) return Result::kSuccess;
  if ((kind == 0x80 || kind == 0x90 || kind == 0xB0) && length < 2) return Result::kSuccess;

  // A local copy, as velocities and pedal values may change on the way.
  uint8_t bytes[3] = {};
  for (uint32_t i = 0; i < length && i < 3; ++i) bytes[i] = data[i];
  if (kind == 0xB0) {
    const uint8_t controller = bytes[0];
    if (controller != 7 && !PedalFilter::IsSwitchPedal(controller)) return Result::kSuccess;
  }

  if (kind == 0xC0 && channel != 9) {
    merged_[channel] = bytes[0] < 8;
  } else {
    if (merged_[channel]) {
      status = kind;
      if (kind == 0x90 && bytes[1] > 0 && remapVelocities_) bytes[1] = ExpandVelocity(bytes[1]);
      if (kind == 0xB0 && bytes[0] == 64 && channel != sustainChannel_) return Result::kSuccess;
      if (kind == 0xB0 && bytes[0] == 67 && channel != softChannel_) return Result::kSuccess;
    }
    if (kind == 0xB0 && PedalFilter::IsSwitchPedal(bytes[0]) && !pedals_.Pass(bytes[0], bytes[1])) {
      return Result::kSuccess;
    }
  }

  const uint32_t start = GetPosition();
  Result r = Result::kSuccess;
  // Receivers that missed a status byte resync at the next one.
  if (status != lastStatus_ || framesSinceStatus_ > refreshFrames_) {
    r = SendByte(status);
    lastStatus_ = status;
    framesSinceStatus_ = 0;
  }
  if (r == Result::kSuccess) r = SendBytes(bytes, length < 3 ? length : 3);
  if (r == Result::kSuccess && length > 3) r = SendBytes(data + 3, length - 3);
  framesSinceStatus_ += GetPosition() - start;
  return r;
}

Result CMid2PianoDisc::SendSysEx(uint8_t status, const uint8_t* data, uint32_t length) {
  // Running status is left as it was: the receiver keeps it across SysEx.
  if (status == 0xF0) {
    const Result r = SendByte(0xF0);
    if (r != Result::kSuccess) return r;
  }
  return SendBytes(data, length);
}

bool CMid2PianoDisc::HasTitleMessage() {
  bool found = false;
  (void)source_->Rewind();
  MusicEvent ev;
  while (!found && source_->ReadEvent(ev) == ReadResult::kEvent) {
    found = ev.kind == kEventSysEx && ev.status == 0xF0 && ev.length >= 6 &&
            std::equal(kTitleHeader + 1, std::end(kTitleHeader), ev.data);
  }
  (void)source_->Rewind();
  return found;
}

Result CMid2PianoDisc::Encode() {
  sustainChannel_ = source_->FindSustainChannel();
  softChannel_ = source_->FindSoftChannel();
  remapVelocities_ = velocityProfile_ != 0;
  refreshFrames_ = SecondsToSamples(0.5);
  framesSinceStatus_ = 0;
  if (!StartModulator(kPianoDiscUnitRate, kPianoDiscAmplitude, MOD_SQUARE, DataChannel::kRight)) {
    return Result::kOutOfMemory;
  }
  lastStatus_ = 0;
  pedals_.Reset();
  SetAccompanimentDelay(1.0);
  const bool ownTitle = HasTitleMessage();

  Result r = Silence(SecondsToSamples(0.016));
  if (r == Result::kSuccess) r = IdleUntil(SecondsToSamples(0.25));
  // Program 0 and volume 100 everywhere, each with its own status byte;
  // every channel but percussion plays as channel 0.
  for (uint8_t c = 0; c < 16 && r == Result::kSuccess; ++c) {
    merged_[c] = c != 9;
    const uint8_t setup[] = {static_cast<uint8_t>(0xC0 | c), 0x00, static_cast<uint8_t>(0xB0 | c),
                             0x07, 0x64};
    r = SendBytes(setup, sizeof setup);
  }
  if (r == Result::kSuccess) r = IdleUntil(SecondsToSamples(0.55));
  if (r == Result::kSuccess && !ownTitle) {
    const std::vector<uint8_t> title = BuildTitleMessage(title_);
    r = SendBytes(title.data(), static_cast<uint32_t>(title.size()));
  }
  if (r == Result::kSuccess) r = IdleUntil(SecondsToSamples(0.755));
  if (r != Result::kSuccess) return r;

  r = RunEvents();
  if (r != Result::kSuccess) return r;

  r = SendBytes(kPedalsOff, sizeof kPedalsOff);
  if (r == Result::kSuccess) r = IdleThroughAccompaniment(GetPosition() + SecondsToSamples(0.25));
  if (r == Result::kSuccess) r = Silence(sampleRateHz_);
  return r;
}

}  // namespace tonvelo
