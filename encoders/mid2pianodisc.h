#pragma once
// CMid2PianoDisc: the data signal of PianoDisc Classic (format id 5) and
// PianoDisc Silent Drive Plus (id 4). A standard MIDI byte stream with
// running status, sent on the RIGHT channel as a square wave whose long
// half-cycles are 0 bits and short ones 1 bits. Each byte starts with a short
// half-cycle; Classic ends it with two long ones, Silent Drive Plus with none.

#include <cstdint>
#include <vector>

#include "framework/modulated_format.h"
#include "encoders/pedal_filter.h"

namespace tonvelo {

constexpr uint32_t kPianoDiscUnitRate = 4009;  // long half-cycles per second
constexpr int16_t kPianoDiscAmplitude = 3800;
constexpr uint8_t kPianoDiscClassic = 0;
constexpr uint8_t kPianoDiscSilentDrivePlus = 1;  // no stop half-cycles
constexpr size_t kPianoDiscTitleChars = 20;

class CMid2PianoDisc : public CModulatedFormat {
 public:
  // kPianoDiscClassic or kPianoDiscSilentDrivePlus; set once after construction.
  void SetVariant(uint8_t noStopBits) { noStopBits_ = noStopBits != 0; }

  [[nodiscard]] Result Encode() override;
  // One idle (long) half-cycle.
  [[nodiscard]] Result Advance() override { return EmitSymbol(0); }

  // F0 00 00 2A 00 01 01, 20 characters of title, 00 F7; empty when the
  // title yields no character.
  static std::vector<uint8_t> BuildTitleMessage(const char* title);

 private:
  [[nodiscard]] Result SendByte(uint8_t b);
  [[nodiscard]] Result SendBytes(const uint8_t* bytes, uint32_t count);
  [[nodiscard]] Result SendEvent(uint8_t status, const uint8_t* data, uint32_t length) override;
  [[nodiscard]] Result SendSysEx(uint8_t status, const uint8_t* data, uint32_t length) override;
  bool HasTitleMessage();

  uint8_t lastStatus_ = 0;
  PedalFilter pedals_;
  bool noStopBits_ = false;
  uint8_t sustainChannel_ = 0;
  uint8_t softChannel_ = 0;
  bool remapVelocities_ = false;
  uint32_t refreshFrames_ = 0;      // repeat the status byte after this much transmitting
  uint32_t framesSinceStatus_ = 0;  // transmitting frames only, idle time excluded
  bool merged_[16] = {};
};

}  // namespace tonvelo
