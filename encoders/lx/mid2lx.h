#pragma once
// CMid2LX: the data signal of the LX family (Live Performance LX and Steinway
// Spirio, Bosendorfer SE in tape mode, QRS Pianomation 1), on the RIGHT
// channel. Musical time runs on a clock of 1.25 ms ticks; every 256 ticks
// (320 ms) make a block, sent as one self-contained frame that lists the
// block's note records with their tick offsets and carries 32 sustain and 16
// soft pedal levels. The music is read twice: pass 1 collects the pedal
// changes and builds continuous pedal curves from them, pass 2 queues the
// notes, samples the curves and sends the frames.

#include <array>
#include <cstdint>
#include <optional>
#include <random>

#include "audio/byte_file.h"
#include "encoders/lx/lx_format.h"
#include "encoders/lx/lx_pedal.h"
#include "framework/symmod.h"
#include "framework/tonvelo_format.h"

namespace tonvelo {

// Strike values: how hard the hammer hits, falling as the velocity rises;
// 4..1020 (0 only from the fine-velocity function).
uint16_t StrikeFromVelocity(int key, int velocity);
uint16_t StrikeFromVelocityDisklavier(int velocity);
// `fine` is the value of the controller-16 event that refines the note.
uint16_t StrikeFromFineVelocity(int fine, int velocity);

// The pass-2 buffer for one block's modulated signal: at 7.5 samples per
// bit, the 800-byte leader at 48000 Hz and the longest frame fit.
constexpr uint32_t kLXSampleBufferSamples = 49000;

class CMid2LX : public CTonveloFormat {
 public:
  CMid2LX();
  ~CMid2LX() override;

  // Own setters, called in this order before the common ones.
  void SetSustainTimingOffset(int32_t ticks) { sustainTimingOffset_ = ticks; }
  void SetSynthPropPedaling(bool on) { synthesizePedaling_ = on; }
  void SetWriteBitFile(bool on) { writeBitFile_ = on; }
  void SetMode(LXMode mode) { mode_ = mode; }
  // Fixes the scrambler's starting state; otherwise it comes from the time of
  // day, so two conversions of one file send different bytes.
  void SetScramblerSeed(uint32_t seed) { seed_ = seed; }

  [[nodiscard]] Result Encode() override;
  // The clock of this family is its own; the event scheduler is not used.
  [[nodiscard]] Result Advance() override { return Result::kSuccess; }
  uint32_t GetPosition() override { return 0; }

  // After Encode: the curves pass 2 sampled.
  const PedalList& GetSustainCurve() const { return sustainCurve_; }
  const PedalList& GetSoftCurve() const { return softCurve_; }

  // Table entry i of the frame check for `mode`, built from its polynomial.
  static void BuildCrcTable(LXMode mode, uint32_t table[256]);

 private:
  struct PendingNote {
    bool valid = false;
    uint8_t blockTick = 0, key = 0, velocity = 0;
  };
  struct PendingPedal {
    bool valid = false;
    uint32_t tick = 0;
    uint8_t controller = 0, value = 0;
  };
  // What one pass of the clock keeps.
  struct PassState {
    int pass = 1;
    uint32_t tickCount = 0;
    uint32_t blockTick = 0;
    uint64_t accumulator = 0;
    uint64_t pendingWait = 0;
    uint32_t lastNoteOnTick = 0;
    bool done = false;
    bool firstEvent = true;
    bool leadIn = true;
    bool enabled[16] = {};
    PendingNote notes[16];
    PendingPedal pedals[16];
    MusicEvent ev;
  };

  bool DetectFineVelocity();
  [[nodiscard]] Result RunPass(PassState& s);
  [[nodiscard]] Result ReadNext(PassState& s);
  [[nodiscard]] Result SamplePedals(const PassState& s);
  [[nodiscard]] Result Dispatch(PassState& s);
  [[nodiscard]] Result DispatchController(PassState& s, uint8_t channel, uint8_t controller,
                                          uint8_t value);
  [[nodiscard]] Result QueueNoteOn(int pass, uint32_t t, uint8_t key, uint16_t strike);
  [[nodiscard]] Result QueueNoteOff(int pass, uint32_t t, uint8_t key);
  void RecordSustain(uint32_t tick, uint8_t value, uint32_t lastNoteOnTick);
  void RecordSoft(uint32_t tick, uint8_t value, uint32_t lastNoteOnTick);
  double LargestKeyEnergy() const;
  void DecayKeyEnergies();

  // Frame layer.
  [[nodiscard]] Result StartEncoding();
  void SeedScrambler();
  uint8_t Scramble(uint8_t byte);
  void CrcUpdate(uint8_t byte);
  uint8_t CrcNextByte();
  [[nodiscard]] Result EmitFrame();
  [[nodiscard]] Result EmitTrailer();
  [[nodiscard]] Result EmitTail(uint32_t count) { return WriteSilence(count); }
  [[nodiscard]] Result SendBytes(const uint8_t* bytes, uint32_t count);
  uint32_t BuildFrameCopy(uint8_t* out);

  LXMode mode_ = LX_MODE_LX;
  SymbolModulatorPtr modulator_;
  std::array<int16_t, kLXSampleBufferSamples> samples_{};
  uint32_t crcTable_[256] = {};
  uint32_t crc_ = 0;
  uint32_t scrambler_[2] = {};
  uint16_t bytePosition_ = 0;
  uint16_t blockNumber_ = 0;
  uint8_t sustainSamples_[kLXSustainSlots] = {};
  uint8_t softSamples_[kLXSoftSlots] = {};
  uint8_t queue_[kLXQueueBytes] = {};
  uint16_t queueLength_ = 0;
  int32_t sustainTimingOffset_ = 0;
  bool synthesizePedaling_ = false;
  bool writeBitFile_ = false;
  std::optional<uint32_t> seed_;
  uint8_t held_[128] = {};
  double keyEnergy_[128] = {};
  uint8_t sustainLevel_ = 0;
  uint32_t totalSamples_ = 0;
  PedalList sustainEvents_, softEvents_;
  PedalList sustainCurve_, softCurve_;
  FileHandle bitFile_ = kInvalidFile;

  uint8_t sustainChannel_ = 0;
  uint8_t softChannel_ = 0;
  bool fineVelocity_ = false;
  bool disklavierProfile_ = false;
  uint64_t tickIncrement_ = 0;
};

}  // namespace tonvelo
