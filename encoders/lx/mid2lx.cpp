#include "encoders/lx/mid2lx.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tonvelo {

namespace {

constexpr uint8_t kPercussionChannel = 9;
constexpr uint8_t kFineVelocityController = 16;
constexpr uint8_t kSustainController = 64;
constexpr uint8_t kSostenutoController = 66;
constexpr uint8_t kSoftController = 67;
constexpr uint8_t kPedalDownLevel = 85;  // from here on the dampers are off the strings
constexpr double kEnergyDecayPerTick = 1.000625;
constexpr uint32_t kEndPadTicks = 250;  // pedal lists run on this far past the music
constexpr uint32_t kNoNoteYet = 10000;

uint16_t ClampStrike(double x) {
  if (x > kLXMaxStrike) return kLXMaxStrike;
  if (x < kLXMinStrike) return kLXMinStrike;
  return static_cast<uint16_t>(x);
}

bool IsSentKey(uint8_t key) {
  return key == kLXSostenutoKey || (key >= kLXLowestKey && key <= kLXHighestKey);
}

}  // namespace

uint16_t StrikeFromVelocity(int key, int velocity) {
  const double e = (velocity + (key - 60) / 7.0 - 46) / 41.5;
  return ClampStrike(std::floor(128 / std::pow(2.0, e) + 0.5));
}

uint16_t StrikeFromVelocityDisklavier(int velocity) {
  return ClampStrike(std::floor(128 / std::pow(2.0, (velocity - 52) / 25.0) + 0.5));
}

uint16_t StrikeFromFineVelocity(int fine, int velocity) {
  if (velocity == 0 || velocity == 127) return 0;
  double e;
  if (velocity <= 3) {
    e = ((fine & 0x7F) / 128.0 + velocity - 7) / 5.1625;
  } else if (velocity == 126) {
    e = ((fine & 0x7F) / 128.0 + 126 - 121.375) / 5.1625;
  } else {
    e = (((fine >> 4) & 7) / 8.0 + velocity - 52) / 82.6;
  }
  return ClampStrike(std::floor(128 / std::pow(10.0, e) + 0.5));
}

CMid2LX::CMid2LX() { SetDataChannel(DataChannel::kRight); }

CMid2LX::~CMid2LX() {
  if (bitFile_ != kInvalidFile) file_close(bitFile_);
}

bool CMid2LX::DetectFineVelocity() {
  static constexpr uint8_t kFineSysEx[] = {0x43, 0x71, 0x7E, 0x0A};
  bool found = false;
  (void)source_->Rewind();
  MusicEvent ev;
  while (!found && source_->ReadEvent(ev) == ReadResult::kEvent) {
    if (ev.kind == kEventChannel) {
      found = ev.delta == 0 && (ev.status & 0xF0) == 0xB0 && ev.length >= 1 &&
              ev.data[0] == kFineVelocityController;
    } else if (ev.kind == kEventSysEx) {
      found = ev.status == 0xF0 && ev.length == 6 &&
              std::equal(kFineSysEx, kFineSysEx + 4, ev.data) && (ev.data[4] & 1) != 0 &&
              ev.data[5] == 0xF7;
    }
  }
  (void)source_->Rewind();
  return found;
}

Result CMid2LX::QueueNoteOn(int pass, uint32_t t, uint8_t key, uint16_t strike) {
  if (!IsSentKey(key)) return Result::kSuccess;
  uint8_t record[4] = {static_cast<uint8_t>(t), static_cast<uint8_t>(0x80 | key)};
  uint32_t length = 2;
  if (key != kLXSostenutoKey) {
    if (strike >= 1 && strike < kLXMinStrike) strike = kLXMinStrike;
    if (strike > kLXMaxStrike) strike = kLXMaxStrike;
    if (strike <= 255) {
      record[length++] = static_cast<uint8_t>(strike);
    } else {
      // A first value byte of 1..3 announces a two-byte strike value.
      record[length++] = static_cast<uint8_t>(strike >> 8);
      record[length++] = static_cast<uint8_t>(strike & 0xFF);
    }
  }
  if (pass == 1) {
    if (key != kLXSostenutoKey) {
      // A strike value of 0 (a fine-velocity note held silently down)
      // divides by zero: the key counts as ringing with no limit.
      const double d = 128.0 - key;
      keyEnergy_[key] = strike == 0 ? std::numeric_limits<double>::infinity() : d * d / strike;
    }
    held_[key] = 1;
    return Result::kSuccess;
  }
  held_[key] = 1;
  if (queueLength_ + length > kLXQueueBytes) return Result::kDataFormatError;
  std::copy(record, record + length, queue_ + queueLength_);
  queueLength_ = static_cast<uint16_t>(queueLength_ + length);
  return Result::kSuccess;
}

Result CMid2LX::QueueNoteOff(int pass, uint32_t t, uint8_t key) {
  if (!IsSentKey(key) || held_[key] == 0) return Result::kSuccess;
  held_[key] = 0;
  if (pass == 1) {
    if (key != kLXSostenutoKey && sustainLevel_ < kPedalDownLevel) keyEnergy_[key] = 0;
    return Result::kSuccess;
  }
  if (queueLength_ + 2u > kLXQueueBytes) return Result::kDataFormatError;
  queue_[queueLength_++] = static_cast<uint8_t>(t);
  queue_[queueLength_++] = key;
  return Result::kSuccess;
}

double CMid2LX::LargestKeyEnergy() const {
  double largest = 0;
  for (uint32_t k = kLXLowestKey; k <= kLXHighestKey; ++k)
    largest = std::max(largest, keyEnergy_[k]);
  return largest;
}

void CMid2LX::DecayKeyEnergies() {
  const bool pedalDown = sustainLevel_ >= kPedalDownLevel;
  for (uint32_t k = kLXLowestKey; k <= kLXHighestKey; ++k) {
    if (pedalDown || !(keyEnergy_[k] > 0) || held_[k] != 0) {
      keyEnergy_[k] /= kEnergyDecayPerTick;
    } else {
      keyEnergy_[k] = 0;  // released and undamped no more
    }
  }
}

void CMid2LX::RecordSustain(uint32_t tick, uint8_t value, uint32_t lastNoteOnTick) {
  sustainLevel_ = kLXSustainLevel[value];
  PedalPoint p;
  p.tick = tick;
  p.since = tick - lastNoteOnTick;
  p.energy = LargestKeyEnergy();
  p.level = sustainLevel_;
  sustainEvents_.push_back(p);
}

void CMid2LX::RecordSoft(uint32_t tick, uint8_t value, uint32_t lastNoteOnTick) {
  PedalPoint p;
  p.tick = tick;
  p.since = tick - lastNoteOnTick;
  p.energy = 0;
  p.level = value == 254 ? 255 : value;
  softEvents_.push_back(p);
}

Result CMid2LX::DispatchController(PassState& s, uint8_t c, uint8_t controller, uint8_t value) {
  switch (controller) {
    case kFineVelocityController: {
      if (!fineVelocity_) return Result::kSuccess;
      PendingPedal& pedal = s.pedals[c];
      if (s.pass == 1 && pedal.valid) {
        // Bit 6 of the refinement is the lowest bit of the 8-bit pedal value.
        const auto v = static_cast<uint8_t>(pedal.value | ((value >> 6) & 1));
        if (pedal.controller == kSustainController) {
          RecordSustain(pedal.tick, v, s.lastNoteOnTick);
        } else {
          RecordSoft(pedal.tick, v, s.lastNoteOnTick);
        }
        pedal.valid = false;
        return Result::kSuccess;
      }
      PendingNote& note = s.notes[c];
      if (!note.valid) return Result::kSuccess;
      note.valid = false;
      const uint16_t strike = StrikeFromFineVelocity(value, note.velocity);
      if (strike == 0) return QueueNoteOff(s.pass, note.blockTick, note.key);
      s.lastNoteOnTick = s.tickCount;
      return QueueNoteOn(s.pass, note.blockTick, note.key, strike);
    }
    case kSustainController:
      if (s.pass != 1 || c != sustainChannel_) return Result::kSuccess;
      if (fineVelocity_) {
        s.pedals[c] = {true, s.tickCount, kSustainController, static_cast<uint8_t>(value * 2)};
      } else {
        RecordSustain(s.tickCount, static_cast<uint8_t>((value & 0x7F) * 2), s.lastNoteOnTick);
      }
      return Result::kSuccess;
    case kSostenutoController:
      if (value >= 64) return QueueNoteOn(s.pass, s.blockTick, kLXSostenutoKey, 0);
      return QueueNoteOff(s.pass, s.blockTick, kLXSostenutoKey);
    case kSoftController:
      if (s.pass != 1 || c != softChannel_) return Result::kSuccess;
      if (fineVelocity_) {
        s.pedals[c] = {true, s.tickCount, kSoftController, static_cast<uint8_t>(value * 2)};
      } else {
        RecordSoft(s.tickCount, static_cast<uint8_t>(value * 2), s.lastNoteOnTick);
      }
      return Result::kSuccess;
    default:
      return Result::kSuccess;
  }
}

Result CMid2LX::Dispatch(PassState& s) {
  const MusicEvent& ev = s.ev;
  const uint8_t kind = ev.status & 0xF0;
  const uint8_t c = ev.status & 0x0F;
  if (kind == 0xC0) {
    if (c != kPercussionChannel && ev.length >= 1) s.enabled[c] = ev.data[0] < 8;
    return Result::kSuccess;
  }
  if (!s.enabled[c] || ev.length < 2) return Result::kSuccess;
  const auto key = static_cast<uint8_t>(ev.data[0] & 0x7F);
  const uint8_t value = ev.data[1];
  switch (kind) {
    case 0x80:
      return QueueNoteOff(s.pass, s.blockTick, key);
    case 0x90:
      if (fineVelocity_) {
        // Sounds only once a controller 16 on its channel refines it.
        s.notes[c] = {true, static_cast<uint8_t>(s.blockTick), key, value};
        return Result::kSuccess;
      }
      if (value == 0) return QueueNoteOff(s.pass, s.blockTick, key);
      s.lastNoteOnTick = s.tickCount;
      return QueueNoteOn(s.pass, s.blockTick, key,
                         disklavierProfile_ ? StrikeFromVelocityDisklavier(value)
                                            : StrikeFromVelocity(key, value));
    case 0xA0:
      if (!fineVelocity_) return Result::kSuccess;
      if (value == 0) return QueueNoteOff(s.pass, s.blockTick, key);
      if (value == 127) return QueueNoteOn(s.pass, s.blockTick, key, 0);
      return Result::kSuccess;
    case 0xB0:
      return DispatchController(s, c, ev.data[0], value);
    default:
      return Result::kSuccess;
  }
}

Result CMid2LX::ReadNext(PassState& s) {
  const ReadResult rr = source_->ReadEvent(s.ev);
  if (rr == ReadResult::kDamaged) return Result::kSourceDamaged;
  if (rr != ReadResult::kEvent) {
    if (s.pass == 1) {
      PedalPoint end;
      end.tick = s.tickCount + kEndPadTicks;
      end.since = end.tick - s.lastNoteOnTick;
      end.energy = LargestKeyEnergy();
      end.level = 0;
      sustainEvents_.push_back(end);
      end.energy = 0;
      softEvents_.push_back(end);
      std::filesystem::path graphBase = outputBasePath_;
      PedalCurves curves =
          BuildPedalCurves(sustainEvents_, softEvents_, synthesizePedaling_, sustainTimingOffset_,
                           diagnosticOutput_ ? &graphBase : nullptr);
      sustainCurve_ = std::move(curves.sustain);
      softCurve_ = std::move(curves.soft);
    }
    s.done = true;
  }
  if (s.pass == 2) PostProgress(source_->GetPercentDone());
  if (s.done) return Result::kSuccess;

  uint64_t delta = s.ev.delta;
  if (accompaniment_ == nullptr && s.leadIn) {
    // Without a recording to stay in step with, leading silence goes: the
    // first note or controller comes a quarter second after the start.
    if (s.ev.kind == kEventChannel && s.ev.status < 0xC0) {
      delta = static_cast<uint64_t>(source_->GetTicksPerSecond() * 0.25 + 0.5);
      s.leadIn = false;
    } else {
      delta = 0;
    }
  }
  if (s.ev.kind == kEventMeta && s.ev.status == 0x2F) delta = 0;  // no trailing time
  s.pendingWait = static_cast<uint64_t>(s.ev.tempo) * delta;
  s.firstEvent = false;
  return Result::kSuccess;
}

Result CMid2LX::SamplePedals(const PassState& s) {
  if (s.blockTick % kLXSustainInterval == 0) {
    const size_t k = s.tickCount / kLXSustainInterval;
    if (k >= sustainCurve_.size() || sustainCurve_[k].tick != s.tickCount) {
      ShowMessage(MessageIcon::kError, "Sustain pedal data formatting error");
      return Result::kDataFormatError;
    }
    sustainSamples_[s.blockTick / kLXSustainInterval] =
        static_cast<uint8_t>(sustainCurve_[k].level + 0.5);
  }
  if (s.blockTick % kLXSoftInterval == 0) {
    const size_t k = s.tickCount / kLXSoftInterval;
    if (k >= softCurve_.size() || softCurve_[k].tick != s.tickCount) {
      ShowMessage(MessageIcon::kError, "Soft pedal data formatting error");
      return Result::kDataFormatError;
    }
    softSamples_[s.blockTick / kLXSoftInterval] = static_cast<uint8_t>(softCurve_[k].level + 0.5);
  }
  return Result::kSuccess;
}

Result CMid2LX::RunPass(PassState& s) {
  for (;;) {
    if (IsCancelled()) return Result::kCancelled;
    // Every event due at this tick, in file order, before the block closes.
    while (!s.done && s.accumulator >= s.pendingWait) {
      s.accumulator -= s.pendingWait;
      if (!s.firstEvent && s.ev.kind == kEventChannel) {
        const Result r = Dispatch(s);
        if (r != Result::kSuccess) return r;
      }
      const Result r = ReadNext(s);
      if (r != Result::kSuccess) return r;
    }
    if (s.pass == 2) {
      Result r = SamplePedals(s);
      if (r != Result::kSuccess) return r;
      if (s.blockTick == kLXTicksPerBlock - 1) {
        r = EmitFrame();
        if (r != Result::kSuccess) return r;
        queueLength_ = 0;
        std::fill(std::begin(sustainSamples_), std::end(sustainSamples_), 0);
        std::fill(std::begin(softSamples_), std::end(softSamples_), 0);
        s.blockTick = 0;
      } else {
        ++s.blockTick;
      }
    }
    ++s.tickCount;
    s.accumulator += tickIncrement_;
    // Only pass 1 reads the energies; pass 2 need not keep them.
    if (s.pass == 1) DecayKeyEnergies();
    if (s.done) return Result::kSuccess;
  }
}

Result CMid2LX::Encode() {
  tickIncrement_ = static_cast<uint64_t>(source_->GetDivision()) * kLXTickMicroseconds;
  sustainChannel_ = source_->FindSustainChannel();
  softChannel_ = source_->FindSoftChannel();
  fineVelocity_ = DetectFineVelocity();
  disklavierProfile_ = fineVelocity_ || velocityProfile_ == 1;

  Result r = StartEncoding();
  if (r != Result::kSuccess) return r;
  SetAccompanimentDelay(kLXModes[mode_].accompanimentDelaySeconds);

  PassState s;
  for (int pass = 1; pass <= 2; ++pass) {
    (void)source_->Rewind();
    s = PassState{};
    s.pass = pass;
    for (uint8_t c = 0; c < 16; ++c) s.enabled[c] = c != kPercussionChannel;
    if (pass == 1) {
      PedalPoint start;
      start.since = kNoNoteYet;
      sustainEvents_.push_back(start);
      softEvents_.push_back(start);
    }
    std::fill(std::begin(held_), std::end(held_), 0);
    std::fill(std::begin(keyEnergy_), std::end(keyEnergy_), 0.0);
    std::fill(std::begin(sustainSamples_), std::end(sustainSamples_), 0);
    std::fill(std::begin(softSamples_), std::end(softSamples_), 0);
    sustainLevel_ = 0;
    r = RunPass(s);
    if (r != Result::kSuccess) return r;
  }

  // Keys still down at the end are let go; a full queue cannot fail here.
  for (uint32_t key = 0; key < 128; ++key) {
    if (held_[key] != 0) (void)QueueNoteOff(2, s.blockTick, static_cast<uint8_t>(key));
  }
  for (uint32_t t = s.blockTick; t < kLXTicksPerBlock - 1; ++t) {
    if (t % kLXSustainInterval == 0) sustainSamples_[t / kLXSustainInterval] = 0;
    if (t % kLXSoftInterval == 0) softSamples_[t / kLXSoftInterval] = 0;
  }
  r = EmitFrame();
  if (r == Result::kSuccess) r = EmitTrailer();
  while (r == Result::kSuccess && !IsAccompanimentFinished()) {
    r = IsCancelled() ? Result::kCancelled : EmitTail(1);
  }
  if (r == Result::kSuccess) r = EmitTail(sampleRateHz_);
  return r;
}

}  // namespace tonvelo
