#pragma once
// A constant offset (a DC-coupled copy, a badly biased converter) shifts every
// sample of a data signal alike. Decoders that look at levels, start edges or
// zero crossings read the channel with that offset taken away first.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tonvelo {

// Data signals average out to nothing over a whole channel, so the mean is
// the offset. Returns `samples` when there is no offset worth removing, else
// a corrected copy kept in `storage`.
inline const int16_t* WithoutDcOffset(const int16_t* samples, size_t count,
                                      std::vector<int16_t>& storage) {
  if (count == 0) return samples;
  int64_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum += samples[i];
  const int64_t mean = sum / static_cast<int64_t>(count);
  if (std::llabs(mean) < 16) return samples;
  storage.resize(count);
  for (size_t i = 0; i < count; ++i) {
    storage[i] = static_cast<int16_t>(std::clamp<int64_t>(samples[i] - mean, -32768, 32767));
  }
  return storage.data();
}

}  // namespace tonvelo
