#pragma once
// Proportional pedal synthesis: turns the sustain and soft pedal changes of a
// piece into continuous, sampled curves that move like a real pedal. A press
// or release becomes a ramp whose length depends on how much sound it
// affects, quick up-down pairs on the soft pedal vanish, proportional source
// data are kept or reduced to switches, the sustain curve may be shifted in
// time, and both curves are smoothed by a fourth-order low-pass.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace tonvelo {

struct PedalPoint {
  uint32_t tick = 0;   // 1.25 ms ticks from the start of the music
  uint32_t since = 0;  // ticks from the last note-on before the change
  double energy = 0;   // sustain: the largest key energy at the change
  double level = 0;    // 0 up .. 255 fully down
  double work = -1;    // shaping scratch; -1: none
};
using PedalList = std::vector<PedalPoint>;

// Feedback coefficients of the smoothing low-pass: y = x/G + c1*y1 + ... + c4*y4.
struct PedalSmoothing {
  double gain;
  double c[4];
};
constexpr PedalSmoothing kProportionalSmoothing{
    4.085067449, {1.3940278775, -0.8866969526, 0.285899611, -0.0380245356}};
constexpr PedalSmoothing kOnOffSmoothing{6.875028779,
                                         {1.7602555316, -1.311166546, 0.4743594407, -0.0689023629}};

// Consecutive points on one tick become the first of them with the last's level.
void MergeSameTickPoints(PedalList& list);
// Drops points that repeat the level of the point kept before them (never the last).
void DropRepeatedLevels(PedalList& list);
// Switch-like pedalling with hysteresis: >= 96 down, < 85 up, between dropped.
void ReduceToOnOff(PedalList& list);
// Presses and releases become ramps, proportional holds stay flat.
void ShapePedalMotion(PedalList& list, bool isSustain);
// One point every `interval` ticks, linearly interpolated, delayed by
// `offsetTicks` (negative: advanced).
PedalList ResampleCurve(const PedalList& list, uint32_t interval, int32_t offsetTicks);
PedalList SmoothCurve(const PedalList& resampled, const PedalSmoothing& coefficients);

struct PedalCurves {
  PedalList sustain;  // point k for tick 8k
  PedalList soft;     // point k for tick 16k
  bool proportional = false;
};
// The whole procedure on the pass-1 pedal changes (which it shapes in place).
// With a graph base path, draws both pedals into "<base>_sustain_graph.wav"
// and "<base>_soft_graph.wav".
PedalCurves BuildPedalCurves(PedalList& sustainEvents, PedalList& softEvents,
                             bool synthesizePedaling, int32_t sustainOffsetTicks,
                             const std::filesystem::path* graphBase);

// One frame per tick: curve on the left, events on the right, both scaled by
// 150 and biased; failures are silent, the file is only a drawing.
void WritePedalGraph(const std::filesystem::path& path, bool isSustain, const PedalList& events,
                     const PedalList& curve);

}  // namespace tonvelo
