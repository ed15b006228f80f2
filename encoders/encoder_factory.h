#pragma once
// Creates the encoder for a catalogue id and applies its own setters; the
// conversion thread then applies the common ones. nullptr: no encoder exists
// for the id (the batch ends for such a file).

#include <cstdint>
#include <memory>
#include <optional>

#include "framework/tonvelo_format.h"
#include "readers/pianocorder_source.h"

namespace tonvelo {

struct EncoderOptions {
  int sustainTimingOffset = 0;
  bool synthPropPedaling = false;
  bool discardOutput = false;
  // LX family: a fixed scrambler start for reproducible output; without it
  // the time of day seeds the scrambler.
  std::optional<uint32_t> scramblerSeed;
  const PianocorderFile* pianocorderFile = nullptr;  // a ".pc" source to replay
};

std::unique_ptr<CTonveloFormat> CreateEncoder(int formatId, const EncoderOptions& options);

}  // namespace tonvelo
