#pragma once
// CMid2CassetteConverter: the data signal of the IMI CC-3 Cassette Converter
// (format ids 10, Ampico A, and 11, Ampico B): 16-byte frames at 12800 bits
// per second on the LEFT channel, each one snapshot of an Ampico roll's holes.
// The frame scheduler is the Pianocorder's, run with the Ampico parameters.

#include "encoders/pianocorder/frame_format.h"

namespace tonvelo {

constexpr int kCassetteAmpicoA = 0;
constexpr int kCassetteAmpicoB = 1;

class CMid2CassetteConverter : public CFrameFormat {
 public:
  CMid2CassetteConverter() : CFrameFormat(kCassetteSchedule) {}

  // Both roll systems read the same signal; the choice is kept for the record.
  void SetVariant(int variant) { variant_ = variant; }
  int GetVariant() const { return variant_; }

  [[nodiscard]] Result Encode() override { return EncodeMusic(); }

 private:
  int variant_ = kCassetteAmpicoA;
};

}  // namespace tonvelo
