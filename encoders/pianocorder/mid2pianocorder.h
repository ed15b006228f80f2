#pragma once
// CMid2Pianocorder: the data signal of the Marantz Pianocorder (format ids 2
// and 3; half speed is the writer's doing). 16-byte frames at 4500 bits per
// second on the RIGHT channel, built by the frame scheduler from a music
// file, or replayed from a Pianocorder data file at the speed it was
// recorded at.

#include <cstdint>

#include "encoders/pianocorder/frame_format.h"
#include "readers/pianocorder_source.h"

namespace tonvelo {

constexpr uint32_t kPianocorderUnitRate = 4500;

class CMid2Pianocorder : public CFrameFormat {
 public:
  CMid2Pianocorder() : CFrameFormat(kPianocorderSchedule) {}

  void SetUnitRate(uint32_t bitsPerSecond) { unitRate_ = bitsPerSecond; }
  // A data file to replay instead of the music source; not owned.
  void SetSourceFile(const PianocorderFile* file);
  uint32_t GetUnitRate() const { return unitRate_; }

  [[nodiscard]] Result Encode() override;

  // The frame sent while no recorded frame is due: `frame` with its pedals
  // and keys lifted, loudness and split bits kept.
  static void MakeIdleFrame(const uint8_t* frame, uint8_t* idle);

 private:
  [[nodiscard]] Result Replay();

  const PianocorderFile* file_ = nullptr;
};

}  // namespace tonvelo
