#include "decoders/half_cycles.h"

#include <algorithm>
#include <cmath>

namespace tonvelo {

namespace {

constexpr double kOffsetUnits = 24.0;  // the moving average that tracks a DC offset
constexpr int32_t kMinLevel = 120;     // quieter than this is no signal
constexpr double kGapUnits = 3.0;      // this long without a crossing is a gap

}  // namespace

std::vector<HalfCycle> FindHalfCycles(const int16_t* x, size_t count, double unitSamples) {
  std::vector<HalfCycle> out;
  if (count == 0 || unitSamples < 2.0) return out;
  const size_t half = std::max<size_t>(1, static_cast<size_t>(kOffsetUnits * unitSamples / 2));
  const auto gapSamples = static_cast<size_t>(kGapUnits * unitSamples);
  // Running sum over [n - half, n + half] for the offset.
  int64_t sum = 0;
  size_t lo = 0, hi = 0;
  // A full window divides by multiplying with its reciprocal.
  const int64_t fullWidth = static_cast<int64_t>(2 * half + 1);
  const int64_t reciprocal = (int64_t{1} << 32) / fullWidth;
  auto offsetAt = [&](size_t n) {
    const size_t wantHi = std::min(count, n + half + 1), wantLo = n > half ? n - half : 0;
    while (hi < wantHi) sum += x[hi++];
    while (lo < wantLo) sum -= x[lo++];
    const auto width = static_cast<int64_t>(hi - lo);
    return static_cast<int32_t>(width == fullWidth ? (sum * reciprocal) >> 32 : sum / width);
  };
  // Hysteresis: a new sign counts once the sample passes a quarter of the
  // recent peak on the other side.
  int sign = 0;
  int32_t recent[16] = {};  // the last offset-free samples, for the crossing
  double lastCrossing = -1.0;
  size_t lastActive = 0;
  // The envelope loses 1/2^k of itself per sample: half in about 8 units.
  int shift = 1;
  while ((1 << shift) < 11.5 * unitSamples) ++shift;
  int32_t envelope = 0;
  // A lobe too long for any symbol is no signal either: a quiet line, or
  // the offset tracker settling at its edge.
  auto close = [&](double end, bool gap) {
    if (lastCrossing < 0) return;
    // A channel that starts inside a lobe shows only part of it.
    const bool partial = out.empty() && lastCrossing < 1.0;
    out.push_back(
        {lastCrossing, end - lastCrossing, gap || partial || end - lastCrossing > gapSamples});
    lastCrossing = -1.0;
  };
  for (size_t n = 0; n < count; ++n) {
    const int32_t v = x[n] - offsetAt(n);
    recent[n & 15] = v;
    envelope = std::max(envelope - (envelope >> shift), std::abs(v));
    const int32_t threshold = std::max(kMinLevel, envelope / 4);
    if (std::abs(v) >= threshold) {
      const int s = v > 0 ? 1 : -1;
      if (s != sign) {
        // The crossing lies after the last sample of the old sign: interpolate
        // between it and the first sample of the new sign (or zero).
        size_t j = n;
        while (j > 0 && j + 15 > n && recent[(j - 1) & 15] * s > 0) --j;
        double crossing = static_cast<double>(n);
        if (j > 0 && j + 15 > n) {
          const double a = recent[(j - 1) & 15], b = recent[j & 15];
          crossing = (a == b) ? static_cast<double>(j) : static_cast<double>(j - 1) + a / (a - b);
        }
        if (sign != 0 && n - lastActive < gapSamples) {
          close(crossing, false);
        } else {
          close(static_cast<double>(lastActive) + 1.0, true);
        }
        lastCrossing = crossing;
        sign = s;
      }
      lastActive = n;
    } else if (sign != 0 && n - lastActive >= gapSamples) {
      close(static_cast<double>(lastActive) + 1.0, true);
      sign = 0;
    }
  }
  close(static_cast<double>(lastActive) + 1.0, true);
  return out;
}

}  // namespace tonvelo
