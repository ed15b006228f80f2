#pragma once
// CMid2MIDIMan: the data signal of "QRS Pianomation MIDI / Baldwin
// ConcertMaster" (format id 7). A compact serial MIDI stream on the LEFT
// channel: full messages follow three sync symbols, notes a single one with
// a 4-bit velocity code, and a note close to the previous one of a chord
// shrinks to one byte.

#include <cstdint>

#include "framework/modulated_format.h"
#include "encoders/pedal_filter.h"

namespace tonvelo {

constexpr uint32_t kMidiSerialUnitRate = 3425;  // symbols per second
constexpr int16_t kMidiSerialAmplitude = 3000;
constexpr uint8_t kMidiSerialIdle = 0;
constexpr uint8_t kMidiSerialSync = 2;

class CMid2MIDIMan : public CModulatedFormat {
 public:
  [[nodiscard]] Result Encode() override;
  // One idle symbol; it also ends any chord chain.
  [[nodiscard]] Result Advance() override;

  // 4-bit velocity code: 0 for 0, 1 for 1..15, v >> 3 above.
  static uint8_t VelocityCode(uint8_t velocity);
  // Shortest signed distance from `from` to `to` modulo 128, -64..63.
  static int NoteDistance(uint8_t from, uint8_t to);

 private:
  [[nodiscard]] Result SendEvent(uint8_t status, const uint8_t* data, uint32_t length) override;
  [[nodiscard]] Result SendNote(uint8_t status, const uint8_t* data, uint32_t length);
  [[nodiscard]] Result SendControl(uint8_t status, const uint8_t* data, uint32_t length);
  [[nodiscard]] Result SendSysEx(uint8_t status, const uint8_t* data, uint32_t length) override;
  // Three sync symbols, then the bytes.
  [[nodiscard]] Result SendFramed(const uint8_t* bytes, uint32_t count);
  bool HasGeneralMidiOn();

  uint8_t lastStatus_ = 0;
  uint8_t lastNote_ = 0xFF;
  bool chainOpen_ = false;
  uint8_t sustainChannel_ = 0;
  uint8_t softChannel_ = 0;
  PedalFilter pedals_;
  bool merged_[16] = {};
};

}  // namespace tonvelo
