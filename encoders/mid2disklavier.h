#pragma once
// CMid2Disklavier: the data channel of a Yamaha Disklavier (PianoSoft Plus
// Audio) track. The MIDI byte stream rides on a 6300 Hz carrier by
// differential 16-phase shift keying, 3150 symbols per second, one nibble per
// symbol. Symbols are rendered 21 at a time from precomputed two-cycle phase
// tables; the data goes to the right channel, the accompaniment to the left.

#include <array>
#include <cstdint>

#include "framework/tonvelo_format.h"

namespace tonvelo {

class CMid2Disklavier : public CTonveloFormat {
 public:
  static constexpr uint32_t kPhaseCount = 16;     // steps of 22.5 degrees
  static constexpr uint32_t kTablePoints = 2240;  // two carrier cycles of 1120 points
  static constexpr uint32_t kSymbolsPerFrame = 21;
  static constexpr uint32_t kFramePoints = kSymbolsPerFrame * kTablePoints;  // 47040
  static constexpr uint32_t kMaxSamplesPerFrame = 320;  // at 48000 Hz; 294 at 44100 Hz
  static constexpr uint8_t kIdleSymbol = 15;
  static constexpr uint32_t kInitialPhase = 4;
  static constexpr int16_t kAmplitude = 8192;

  using PhaseTable = std::array<int16_t, kTablePoints>;
  using PhaseTables = std::array<PhaseTable, kPhaseCount>;

  // Table k, point i: trunc(8192 sin(2 pi i / 1120 + k pi / 8)), the
  // 1120-point cycle stored twice.
  static void BuildPhaseTables(PhaseTables& tables);
  // Carrier phase increment (in 22.5 degree steps) that a symbol value sends.
  static uint32_t PhaseIncrement(uint8_t symbol);
  // Output velocity for a full-range source velocity.
  static uint8_t MapVelocity(uint8_t velocity);

  // Builds the tables and resets the carrier for the sample rate; Encode
  // starts with it. Public so the modulator can be driven with Advance alone.
  void Initialise();

  [[nodiscard]] Result Encode() override;
  // Queues one idle symbol; the scheduler's unit of time.
  [[nodiscard]] Result Advance() override;
  uint32_t GetPosition() override { return position_; }

  uint32_t GetCarrierPhase() const { return carrierPhase_; }
  uint32_t GetSamplesWritten() const { return samplesWritten_; }

 private:
  [[nodiscard]] Result QueueSymbol(uint8_t value);
  [[nodiscard]] Result SendByte(uint8_t b);
  [[nodiscard]] Result SendBytes(const uint8_t* bytes, size_t count);
  [[nodiscard]] Result Silence(uint32_t frames);
  [[nodiscard]] Result IdleUntil(uint32_t position);
  [[nodiscard]] Result RenderFrame();
  [[nodiscard]] Result SendTitle();
  [[nodiscard]] Result SendSysEx(const MusicEvent& ev);
  [[nodiscard]] Result SendChannelEvent(const MusicEvent& ev);
  [[nodiscard]] Result FinishTrack();
  bool HasTitleMessage();

  uint32_t carrierPhase_ = kInitialPhase;
  uint32_t outputStep_ = 160;  // table points per output sample
  std::array<uint8_t, kSymbolsPerFrame> pendingPhases_{};
  uint32_t pendingCount_ = 0;
  double samplesPerSymbol_ = 14.0;
  uint32_t position_ = 0;  // samples written plus the queued symbols' duration
  uint32_t samplesWritten_ = 0;

  // Where each output sample of a frame reads: which queued symbol, and
  // which point of that symbol's table.
  uint32_t samplesPerFrame_ = 0;
  std::array<uint8_t, kMaxSamplesPerFrame> sampleSymbol_{};
  std::array<uint16_t, kMaxSamplesPerFrame> samplePoint_{};
  std::array<int16_t, kMaxSamplesPerFrame> frameSamples_{};

  // Per-conversion choices made from the source before the first event.
  uint8_t sustainChannel_ = 0;
  uint8_t softChannel_ = 0;
  bool remapVelocities_ = false;
  std::array<bool, 16> merged_{};

  PhaseTables phaseTables_{};
};

}  // namespace tonvelo
