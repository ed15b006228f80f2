#pragma once
// CFrameFormat: the common ground of the two frame-stream encoders
// (Pianocorder, Cassette Converter). They read the music themselves, bit by
// bit: the frame scheduler receives each event at the bit it falls on, and
// a frame of 128 bits goes out whenever the bit counter wraps. The clock is
// kept in microseconds times ticks per quarter and set back to the measured
// output time at every frame, so rounding of the bit length never adds up.

#include <cstdint>
#include <memory>

#include "encoders/pianocorder/frame_schedule.h"
#include "framework/symmod.h"
#include "framework/tonvelo_format.h"

namespace tonvelo {

class CFrameFormat : public CTonveloFormat {
 public:
  // These encoders keep their own time and never use the event scheduler.
  [[nodiscard]] Result Advance() override { return Result::kSuccess; }
  uint32_t GetPosition() override { return 0; }

 protected:
  explicit CFrameFormat(const FrameScheduleParams& params);

  // False when memory runs out.
  [[nodiscard]] bool StartModulator(uint32_t unitRate);
  [[nodiscard]] bool ChangeUnitRate(uint32_t unitRate);
  [[nodiscard]] Result SendFrame(const uint8_t* frame);
  // Frames from the schedule until the output holds `frames`.
  [[nodiscard]] Result SendScheduleUntil(uint32_t frames);
  // After the music: `frame` (the schedule's frames when null) until a
  // quarter second has passed and the accompaniment has played out, then a
  // second of silence.
  [[nodiscard]] Result SendTail(const uint8_t* frame);
  // The whole conversion of a music file.
  [[nodiscard]] Result EncodeMusic();

  PianocorderState schedule_;
  uint32_t unitRate_;

 private:
  void ApplyEvent(const MusicEvent& ev);
  [[nodiscard]] Result FinishMusic();

  SymbolModulatorPtr modulator_;
  std::unique_ptr<int16_t[]> buffer_;
  uint32_t bufferSize_ = 0;
  uint32_t startFrame_ = 0;
  bool merged_[16] = {};
  uint8_t sustainChannel_ = 0;
  uint8_t softChannel_ = 0;
};

}  // namespace tonvelo
