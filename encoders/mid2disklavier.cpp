#include "encoders/mid2disklavier.h"

#include <cmath>
#include <numbers>

#include "encoders/disklavier_title.h"

namespace tonvelo {

namespace {

// symbol value -> carrier phase increment, in steps of 22.5 degrees
constexpr std::array<uint8_t, 16> kPhaseIncrement = {3, 4, 12, 11, 2, 5, 13, 10,
                                                     0, 7, 15, 8,  1, 6, 14, 9};

// Full-range velocity (index) -> the 30..95 range the piano expects.
constexpr std::array<uint8_t, 128> kVelocityMap = {
    0,  30, 31, 31, 32, 32, 33, 33, 34, 34, 35, 35, 36, 36, 37, 37,  //   0..15
    38, 38, 39, 39, 40, 40, 41, 41, 42, 42, 43, 43, 44, 44, 45, 45,  //  16..31
    46, 46, 47, 47, 48, 48, 49, 49, 50, 50, 51, 52, 52, 53, 53, 54,  //  32..47
    54, 55, 55, 56, 56, 57, 57, 58, 58, 59, 59, 60, 60, 61, 61, 62,  //  48..63
    62, 63, 63, 64, 64, 65, 65, 66, 66, 67, 67, 68, 68, 69, 69, 70,  //  64..79
    70, 71, 71, 72, 72, 73, 74, 74, 75, 75, 76, 76, 77, 77, 78, 78,  //  80..95
    79, 79, 80, 80, 81, 81, 82, 82, 83, 83, 84, 84, 85, 85, 86, 86,  //  96..111
    87, 87, 88, 88, 89, 89, 90, 90, 91, 91, 92, 92, 93, 93, 94, 95,  // 112..127
};

// Set-up messages, already in stream form (F0 -> C0, F7 -> C7).
constexpr std::array<uint8_t, 6> kGeneralMidiOn = {0xC0, 0x7E, 0x7F, 0x09, 0x01, 0xC7};
constexpr std::array<uint8_t, 9> kXgOn = {0xC0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xC7};

// The program-change status is never sent; C4 announces a program change
// and is followed by one channel symbol.
constexpr uint8_t kStreamSysExStart = 0xC0;
constexpr uint8_t kStreamSysExEnd = 0xC7;
constexpr uint8_t kStreamProgramChange = 0xC4;

constexpr double kLeadInSeconds = 0.02920635;
constexpr double kGeneralMidiOnSeconds = 0.2;
constexpr double kXgOnSeconds = 0.275;
constexpr double kTitleSeconds = 0.35;
constexpr double kMusicStartSeconds = 0.492;
constexpr double kTailSeconds = 0.25;
constexpr double kAccompanimentDelaySeconds = 0.5;

constexpr uint8_t kSustainController = 64;
constexpr uint8_t kSoftController = 67;
constexpr uint8_t kPercussionChannel = 9;
constexpr uint8_t kFirstNonPianoProgram = 8;

bool BeginsWith(const MusicEvent& ev, std::initializer_list<uint8_t> prefix) {
  if (ev.length < prefix.size()) return false;
  size_t k = 0;
  for (uint8_t b : prefix) {
    if (ev.data[k++] != b) return false;
  }
  return true;
}

// Messages the encoder makes itself, or that would disturb the piano.
bool IsDroppedSysEx(const MusicEvent& ev) {
  if (CTonveloFormat::IsYamahaPianoSysex(ev)) return true;
  if (ev.status != 0xF0) return false;
  return BeginsWith(ev, {0x43, 0x10, 0x4C}) || BeginsWith(ev, {0x43, 0x73}) ||
         BeginsWith(ev, {0x43, 0x7E}) || BeginsWith(ev, {0x7E, 0x7F, 0x09, 0x01, 0xF7});
}

}  // namespace

void CMid2Disklavier::BuildPhaseTables(PhaseTables& tables) {
  constexpr uint32_t kCycle = kTablePoints / 2;
  for (uint32_t k = 0; k < kPhaseCount; ++k) {
    for (uint32_t i = 0; i < kCycle; ++i) {
      const double v =
          kAmplitude * std::sin(2.0 * std::numbers::pi * i / kCycle + k * std::numbers::pi / 8.0);
      tables[k][i] = static_cast<int16_t>(v);  // truncation toward zero
      tables[k][i + kCycle] = tables[k][i];
    }
  }
}

uint32_t CMid2Disklavier::PhaseIncrement(uint8_t symbol) { return kPhaseIncrement[symbol & 0x0F]; }

uint8_t CMid2Disklavier::MapVelocity(uint8_t velocity) { return kVelocityMap[velocity & 0x7F]; }

void CMid2Disklavier::Initialise() {
  BuildPhaseTables(phaseTables_);
  if (sampleRateHz_ != 44100 && sampleRateHz_ != 48000) {
    ShowMessage(MessageIcon::kError, "Invalid Disklavier sample rate!");
    sampleRateHz_ = 44100;
  }
  if (sampleRateHz_ == 48000) {
    outputStep_ = 147;
    samplesPerSymbol_ = 320.0 / 21.0;
  } else {
    outputStep_ = 160;
    samplesPerSymbol_ = 14.0;
  }
  // Sample m of a frame reads point m * step of the 21 tables laid end to
  // end; both steps divide the frame, so the carrier has no seam.
  samplesPerFrame_ = 0;
  for (uint32_t j = 0; j < kFramePoints; j += outputStep_) {
    sampleSymbol_[samplesPerFrame_] = static_cast<uint8_t>(j / kTablePoints);
    samplePoint_[samplesPerFrame_] = static_cast<uint16_t>(j % kTablePoints);
    ++samplesPerFrame_;
  }
  carrierPhase_ = kInitialPhase;
  position_ = 0;
  samplesWritten_ = 0;
  pendingCount_ = 0;
}

Result CMid2Disklavier::RenderFrame() {
  const int16_t* tables[kSymbolsPerFrame];
  for (uint32_t s = 0; s < kSymbolsPerFrame; ++s) {
    tables[s] = phaseTables_[pendingPhases_[s]].data();
  }
  pendingCount_ = 0;
  for (uint32_t m = 0; m < samplesPerFrame_; ++m) {
    frameSamples_[m] = tables[sampleSymbol_[m]][samplePoint_[m]];
  }
  const Result r = WriteData(frameSamples_.data(), samplesPerFrame_);
  if (r == Result::kSuccess) samplesWritten_ += samplesPerFrame_;
  return r;
}

Result CMid2Disklavier::QueueSymbol(uint8_t value) {
  carrierPhase_ = (carrierPhase_ + kPhaseIncrement[value & 0x0F]) % kPhaseCount;
  pendingPhases_[pendingCount_++] = static_cast<uint8_t>(carrierPhase_);
  Result r = Result::kSuccess;
  if (pendingCount_ == kSymbolsPerFrame) r = RenderFrame();
  position_ = samplesWritten_ + static_cast<uint32_t>(pendingCount_ * samplesPerSymbol_ + 0.5);
  return r;
}

Result CMid2Disklavier::SendByte(uint8_t b) {
  const Result r = QueueSymbol(b >> 4);
  if (r != Result::kSuccess) return r;
  return QueueSymbol(b & 0x0F);
}

Result CMid2Disklavier::SendBytes(const uint8_t* bytes, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    const Result r = SendByte(bytes[k]);
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CMid2Disklavier::Silence(uint32_t frames) {
  const Result r = WriteSilence(frames);
  if (r == Result::kSuccess) samplesWritten_ += frames;
  position_ = samplesWritten_;
  return r;
}

Result CMid2Disklavier::Advance() { return QueueSymbol(kIdleSymbol); }

Result CMid2Disklavier::IdleUntil(uint32_t position) {
  while (position_ < position) {
    const Result r = QueueSymbol(kIdleSymbol);
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

bool CMid2Disklavier::HasTitleMessage() {
  bool found = false;
  (void)source_->Rewind();
  MusicEvent ev;
  while (source_->ReadEvent(ev) == ReadResult::kEvent) {
    if (ev.kind == kEventSysEx && ev.status == 0xF0 && ev.length >= 5 &&
        BeginsWith(ev, {0x43, 0x71, 0x7E, 0x10, 0x03})) {
      found = true;
      break;
    }
  }
  (void)source_->Rewind();
  return found;
}

Result CMid2Disklavier::SendTitle() {
  const DisklavierTitleMessage m = disklavier_title_message(title_);
  for (size_t k = 0; k < m.size; ++k) {
    // 1E and 1F are the display's own control codes; 1F escapes them. Only
    // a text length of 30 or 31 can produce one.
    if (k >= 6 && (m.bytes[k] == 0x1E || m.bytes[k] == 0x1F)) {
      const Result r = SendByte(0x1F);
      if (r != Result::kSuccess) return r;
    }
    const Result r = SendByte(m.bytes[k]);
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CMid2Disklavier::SendSysEx(const MusicEvent& ev) {
  if (IsDroppedSysEx(ev)) return Result::kSuccess;
  if (ev.status == 0xF0) {
    const Result r = SendByte(kStreamSysExStart);
    if (r != Result::kSuccess) return r;
  }
  for (uint32_t k = 0; k < ev.length; ++k) {
    const Result r = SendByte(ev.data[k] == 0xF7 ? kStreamSysExEnd : ev.data[k]);
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CMid2Disklavier::SendChannelEvent(const MusicEvent& ev) {
  const uint8_t channel = ev.status & 0x0F;
  const uint8_t kind = ev.status & 0xF0;
  if (kind == 0xA0 && remapVelocities_) return Result::kSuccess;
  if (kind == 0xD0 || kind == 0xF0) return Result::kSuccess;

  Result r;
  if (kind == 0xC0) {
    uint8_t program = ev.length > 0 ? ev.data[0] : 0;
    // The first three channels always play the piano voice.
    if (channel <= 2) program = 0;
    if (channel != kPercussionChannel) merged_[channel] = program < kFirstNonPianoProgram;
    if ((r = SendByte(kStreamProgramChange)) != Result::kSuccess) return r;
    if ((r = QueueSymbol(channel)) != Result::kSuccess) return r;
    if ((r = SendByte(program)) != Result::kSuccess) return r;
    // The event's data bytes follow, so the program goes out twice; the
    // forced piano program replaces the file's in both places.
    if (ev.length == 0) return Result::kSuccess;
    if ((r = SendByte(program)) != Result::kSuccess) return r;
    return SendBytes(ev.data + 1, ev.length - 1);
  }

  uint8_t status = ev.status;
  uint8_t velocity = 0;
  bool mapVelocity = false;
  if (merged_[channel]) {
    // Piano parts play on one channel; only the chosen pedal channels move
    // the pedals, so a second part's pedalling cannot fight the first's.
    status = kind;
    if (kind == 0x90 && remapVelocities_ && ev.length >= 2) {
      mapVelocity = true;
      velocity = MapVelocity(ev.data[1]);
    }
    if (kind == 0xB0 && ev.length >= 1) {
      if (ev.data[0] == kSustainController && channel != sustainChannel_) return Result::kSuccess;
      if (ev.data[0] == kSoftController && channel != softChannel_) return Result::kSuccess;
    }
  }
  if ((r = SendByte(status)) != Result::kSuccess) return r;
  for (uint32_t k = 0; k < ev.length; ++k) {
    const uint8_t b = (mapVelocity && k == 1) ? velocity : ev.data[k];
    if ((r = SendByte(b)) != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CMid2Disklavier::FinishTrack() {
  // A short tail of idle signal, stretched until the accompaniment has
  // played out; then complete the last frame and close with a second of
  // silence.
  const uint32_t tailEnd = position_ + SecondsToSamples(kTailSeconds);
  while (position_ < tailEnd || !IsAccompanimentFinished()) {
    if (IsCancelled()) return Result::kCancelled;
    const Result r = QueueSymbol(kIdleSymbol);
    if (r != Result::kSuccess) return r;
  }
  while (pendingCount_ != 0) {
    const Result r = QueueSymbol(kIdleSymbol);
    if (r != Result::kSuccess) return r;
  }
  return Silence(sampleRateHz_);
}

Result CMid2Disklavier::Encode() {
  if (source_ == nullptr || output_ == nullptr) return Result::kDataFormatError;

  sustainChannel_ = source_->FindSustainChannel();
  softChannel_ = source_->FindSoftChannel();
  remapVelocities_ = velocityProfile_ == 0;
  Initialise();
  for (uint8_t c = 0; c < 16; ++c) merged_[c] = c != kPercussionChannel;
  const bool ownTitle = HasTitleMessage();

  SetAccompanimentDelay(kAccompanimentDelaySeconds);

  Result r;
  if ((r = Silence(SecondsToSamples(kLeadInSeconds))) != Result::kSuccess) return r;
  if ((r = IdleUntil(SecondsToSamples(kGeneralMidiOnSeconds))) != Result::kSuccess) return r;
  if ((r = SendBytes(kGeneralMidiOn.data(), kGeneralMidiOn.size())) != Result::kSuccess) return r;
  if ((r = IdleUntil(SecondsToSamples(kXgOnSeconds))) != Result::kSuccess) return r;
  if ((r = SendBytes(kXgOn.data(), kXgOn.size())) != Result::kSuccess) return r;
  if ((r = IdleUntil(SecondsToSamples(kTitleSeconds))) != Result::kSuccess) return r;
  if (!ownTitle && (r = SendTitle()) != Result::kSuccess) return r;
  if ((r = IdleUntil(SecondsToSamples(kMusicStartSeconds))) != Result::kSuccess) return r;

  MusicEvent ev;
  for (;;) {
    r = NextEvent(ev);
    if (r == Result::kEndOfEvents) break;
    if (r != Result::kSuccess) return r;
    if (ev.kind == kEventSysEx) {
      r = SendSysEx(ev);
    } else if (ev.kind == kEventChannel) {
      r = SendChannelEvent(ev);
    }
    if (r != Result::kSuccess) return r;
  }
  return FinishTrack();
}

}  // namespace tonvelo
