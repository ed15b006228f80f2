#include "encoders/mid2midiman.h"

#include <algorithm>
#include <cstdlib>

#include "encoders/velocity_expansion.h"

namespace tonvelo {

namespace {

constexpr uint8_t kGeneralMidiOn[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
// Full messages, and the end of the stream, are marked by three sync symbols.
constexpr uint8_t kSyncRun[] = {kMidiSerialSync, kMidiSerialSync, kMidiSerialSync};

bool IsSentController(uint8_t controller) {
  return controller == 7 || controller == 64 || controller == 66 || controller == 67 ||
         (controller >= 102 && controller <= 108);
}

}  // namespace

uint8_t CMid2MIDIMan::VelocityCode(uint8_t velocity) {
  velocity &= 0x7F;
  if (velocity == 0) return 0;
  if (velocity < 16) return 1;
  return static_cast<uint8_t>(velocity >> 3);
}

int CMid2MIDIMan::NoteDistance(uint8_t from, uint8_t to) {
  const int up = (to - from) & 0x7F;
  return up < 64 ? up : up - 128;  // a tie (64) goes down
}

Result CMid2MIDIMan::Advance() {
  chainOpen_ = false;
  return EmitSymbol(kMidiSerialIdle);
}

Result CMid2MIDIMan::SendFramed(const uint8_t* bytes, uint32_t count) {
  const Result r = EmitSymbols(kSyncRun, 3);
  if (r != Result::kSuccess) return r;
  return EmitBytes(bytes, count);
}

Result CMid2MIDIMan::SendNote(uint8_t status, const uint8_t* data, uint32_t length) {
  if (length < 2) return Result::kSuccess;
  const uint8_t kind = status & 0xF0;
  uint8_t channel = status & 0x0F;
  uint8_t velocity = data[1] & 0x7F;
  if (merged_[channel]) {
    status = kind;
    channel = 0;
    if (velocityProfile_ == 1 && velocity != 0) velocity = ExpandVelocity(velocity);
  }
  uint8_t code;
  if (kind == 0x80) {
    // The receiver knows only note-ons; velocity code 0 releases the key.
    status |= 0x10;
    code = 0;
  } else {
    code = VelocityCode(velocity);
  }
  const uint8_t note = data[0] & 0x7F;

  if (chainOpen_ && status == lastStatus_) {
    const int d = NoteDistance(lastNote_, note);
    if (std::abs(d) < 8) {
      const uint8_t step = static_cast<uint8_t>(d < 0 ? -d : 8 + d);
      const uint8_t b = static_cast<uint8_t>(step << 4 | code);
      lastNote_ = note;
      return EmitBytes(&b, 1);
    }
  }
  const Result r = EmitSymbol(kMidiSerialSync);
  if (r != Result::kSuccess) return r;
  const uint8_t bytes[] = {static_cast<uint8_t>(channel << 4 | code), note};
  lastNote_ = note;
  lastStatus_ = status;
  chainOpen_ = true;
  return EmitBytes(bytes, 2);
}

Result CMid2MIDIMan::SendControl(uint8_t status, const uint8_t* data, uint32_t length) {
  if (length < 2) return Result::kSuccess;
  const uint8_t channel = status & 0x0F;
  const uint8_t controller = data[0];
  uint8_t value = data[1];
  if (!IsSentController(controller)) return Result::kSuccess;
  if (controller == 64 && channel != sustainChannel_) return Result::kSuccess;
  if (controller == 67 && channel != softChannel_) return Result::kSuccess;
  if (merged_[channel]) status = 0xB0;
  if (PedalFilter::IsSwitchPedal(controller) && !pedals_.Pass(controller, value)) {
    return Result::kSuccess;
  }
  const uint8_t bytes[] = {status, controller, value};
  lastStatus_ = status;
  chainOpen_ = false;
  return SendFramed(bytes, 3);
}

Result CMid2MIDIMan::SendEvent(uint8_t status, const uint8_t* data, uint32_t length) {
  switch (status & 0xF0) {
    case 0x80:
    case 0x90:
      return SendNote(status, data, length);
    case 0xB0:
      return SendControl(status, data, length);
    case 0xC0: {
      if (length < 1) return Result::kSuccess;
      const uint8_t channel = status & 0x0F;
      if (channel != 9) merged_[channel] = data[0] < 8;
      lastStatus_ = status;
      chainOpen_ = false;
      Result r = SendFramed(&status, 1);
      if (r == Result::kSuccess) r = EmitBytes(data, length);
      return r;
    }
    default:
      // Aftertouch, pitch bend and system messages mean nothing to the piano.
      return Result::kSuccess;
  }
}

Result CMid2MIDIMan::SendSysEx(uint8_t status, const uint8_t* data, uint32_t length) {
  chainOpen_ = false;
  if (status == 0xF0) {
    const Result r = SendFramed(&status, 1);
    if (r != Result::kSuccess) return r;
  }
  return EmitBytes(data, length);
}

bool CMid2MIDIMan::HasGeneralMidiOn() {
  bool found = false;
  (void)source_->Rewind();
  MusicEvent ev;
  while (!found && source_->ReadEvent(ev) == ReadResult::kEvent) {
    found = ev.kind == kEventSysEx && ev.status == 0xF0 && ev.length >= 5 && ev.data[0] == 0x7E &&
            ev.data[2] == 0x09 && ev.data[3] == 0x01 && ev.data[4] == 0xF7;
  }
  (void)source_->Rewind();
  return found;
}

Result CMid2MIDIMan::Encode() {
  if (!StartModulator(kMidiSerialUnitRate, kMidiSerialAmplitude, MOD_PULSE_SINE_WIDE,
                      DataChannel::kLeft)) {
    return Result::kOutOfMemory;
  }
  lastStatus_ = 0;
  lastNote_ = 0xFF;
  chainOpen_ = false;
  pedals_.Reset();

  SetAccompanimentDelay(1.0);
  sustainChannel_ = source_->FindSustainChannel();
  softChannel_ = source_->FindSoftChannel();
  const bool ownGeneralMidiOn = HasGeneralMidiOn();

  Result r = Silence(SecondsToSamples(0.05));
  if (r == Result::kSuccess) r = IdleUntil(SecondsToSamples(0.175));
  if (r == Result::kSuccess && !ownGeneralMidiOn) {
    r = SendSysEx(kGeneralMidiOn[0], kGeneralMidiOn + 1, sizeof kGeneralMidiOn - 1);
  }
  if (r == Result::kSuccess) r = IdleUntil(SecondsToSamples(0.25));
  // Every channel but percussion plays the piano at volume 100.
  for (uint8_t c = 0; c < 16 && r == Result::kSuccess; ++c) {
    merged_[c] = c != 9;
    const uint8_t program[] = {0};
    const uint8_t volume[] = {7, 100};
    r = SendEvent(static_cast<uint8_t>(0xC0 | c), program, 1);
    if (r == Result::kSuccess) r = SendEvent(static_cast<uint8_t>(0xB0 | c), volume, 2);
  }
  // A silent note opens the chain state on a known note.
  if (r == Result::kSuccess) {
    const uint8_t silentNote[] = {0, 0};
    r = SendEvent(0x9F, silentNote, 2);
  }
  if (r == Result::kSuccess) r = IdleUntil(SecondsToSamples(0.489));
  if (r != Result::kSuccess) return r;

  r = RunEvents();
  if (r != Result::kSuccess) return r;

  r = EmitSymbols(kSyncRun, 3);
  const uint32_t tail = SecondsToSamples(0.1);
  if (r == Result::kSuccess) r = IdleThroughAccompaniment(GetPosition() + tail);
  if (r == Result::kSuccess) r = IdleUntil(GetPosition() + tail);
  if (r == Result::kSuccess) r = Silence(sampleRateHz_);
  return r;
}

}  // namespace tonvelo
