#pragma once
// CModulatedFormat: the common ground of the encoders whose data signal comes
// out of a symbol modulator and is written frame by frame beside the
// accompaniment. It owns the modulator and a block buffer, so symbols and
// bytes are modulated into memory first and then written as frames.

#include <cstdint>
#include <memory>

#include "framework/symmod.h"
#include "framework/tonvelo_format.h"

namespace tonvelo {

class CModulatedFormat : public CTonveloFormat {
 public:
  // Frames the writer has taken so far.
  uint32_t GetPosition() override { return FramesWritten(); }

 protected:
  // Most symbols one EmitSymbols call may carry.
  static constexpr uint32_t kMaxBlockSymbols = 16;

  // Creates the modulator (mono, most significant bit first) and the block
  // buffer; false when memory runs out.
  [[nodiscard]] bool StartModulator(uint32_t unitRate, int16_t amplitude, uint32_t kind,
                                    DataChannel channel);

  [[nodiscard]] Result EmitSymbol(uint8_t symbol) { return EmitSymbols(&symbol, 1); }
  [[nodiscard]] Result EmitSymbols(const uint8_t* symbols, uint32_t count);
  // Eight symbols per byte, no framing.
  [[nodiscard]] Result EmitBytes(const uint8_t* bytes, uint32_t count);
  // Frames whose data sample is 0; the accompaniment runs on.
  [[nodiscard]] Result Silence(uint32_t frames) { return WriteSilence(frames); }
  // Advance() until the position reaches `frames`; stops early on cancel.
  [[nodiscard]] Result IdleUntil(uint32_t frames);
  // Idle until at least `frames` and until the accompaniment has played out,
  // so the recording is never cut short by the end of the music.
  [[nodiscard]] Result IdleThroughAccompaniment(uint32_t frames);

  // Hands every remaining event to SendEvent or SendSysEx; Yamaha piano
  // SysEx and meta events are not sent. kSuccess once the events have run
  // out, else the first failure.
  [[nodiscard]] Result RunEvents();
  [[nodiscard]] virtual Result SendEvent(uint8_t status, const uint8_t* data, uint32_t length) = 0;
  [[nodiscard]] virtual Result SendSysEx(uint8_t status, const uint8_t* data, uint32_t length) = 0;

 private:
  SymbolModulatorPtr modulator_;
  std::unique_ptr<int16_t[]> buffer_;
};

}  // namespace tonvelo
