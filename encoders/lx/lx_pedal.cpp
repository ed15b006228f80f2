#include "encoders/lx/lx_pedal.h"

#include <algorithm>

#include "audio/wave_file.h"

namespace tonvelo {

namespace {

constexpr double kUp = 0.0;
constexpr double kDown = 255.0;
constexpr int64_t kQuickSoftPairTicks = 250;  // soft presses this close merge
constexpr int64_t kHoldTicks = 400;           // proportional levels held this long stay flat

// How a press or release of one pedal moves: the level of the change point
// itself, how far it is pulled earlier, and the ramp around it.
struct PedalMotion {
  double held;
  int64_t shift;
};
constexpr PedalMotion kSustainMotion{85.0, 12};
constexpr PedalMotion kSoftMotion{128.0, 24};

struct Ramp {
  int64_t before;  // ramp ticks before the change point
  int64_t after;   // and after it
};

// A sustain release that comes soon after a note, or while much sound still
// rings, is fast; one long after a quiet note is slow. Presses are quick
// right after a note-on.
Ramp RampFor(bool isSustain, bool press, int64_t since, double energy) {
  if (!isSustain) return {85, 85};
  int64_t dur;
  if (press) {
    dur = since < 400 ? 120 : 291;
    return {dur / 3, 2 * dur / 3};
  }
  if (since < 400 || energy > 110) {
    dur = 107;
  } else if (since < 800 || energy > 30) {
    dur = 291;
  } else {
    dur = 510;
  }
  return {2 * dur / 3, dur / 3};
}

uint32_t ToTick(int64_t t) { return t < 0 ? 0 : static_cast<uint32_t>(t); }

// "since" of a point moved `back` ticks earlier than the change it stands for.
uint32_t SinceBefore(int64_t since, int64_t back) {
  return since > back ? static_cast<uint32_t>(since - back) : 0;
}

// A ramp that would begin before the previous point joins the previous ramp
// (the line through p2 and prev) where the two cross: prev moves there and
// takes the new ramp's height. The new ramp rises (press) or falls (release)
// with slope r from `start`.
void MoveToCrossing(const PedalPoint& p2, PedalPoint& prev, int64_t start, double r, bool release) {
  const int64_t dt = static_cast<int64_t>(prev.tick) - p2.tick;
  const double rise = release ? prev.level - p2.level : p2.level - prev.level;
  const double a = dt != 0 ? rise / static_cast<double>(dt) : 0.0;
  int64_t c;
  if (dt == 0 || a + r == 0) {
    // Two points on one tick (a point put at next.tick - 1 that landed on
    // the change itself): the previous motion is a vertical step, and the
    // limit of its crossing with the new ramp as the slope grows is the step
    // itself, so prev stays where it is.
    c = prev.tick;
  } else {
    c = static_cast<int64_t>((static_cast<double>(start) * r + prev.tick * a) / (a + r) + 0.5);
  }
  prev.since = SinceBefore(prev.since, static_cast<int64_t>(prev.tick) - c);
  prev.tick = ToTick(c);
  const double height = r * static_cast<double>(c - start);
  prev.work = release ? kDown - height : height;
}

}  // namespace

void MergeSameTickPoints(PedalList& list) {
  size_t kept = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (kept > 0 && list[kept - 1].tick == list[i].tick) {
      list[kept - 1].level = list[i].level;
    } else {
      list[kept++] = list[i];
    }
  }
  list.resize(kept);
}

void DropRepeatedLevels(PedalList& list) {
  size_t kept = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const bool last = i + 1 == list.size();
    if (kept > 0 && !last && list[i].level == list[kept - 1].level) continue;
    list[kept++] = list[i];
  }
  list.resize(kept);
}

void ReduceToOnOff(PedalList& list) {
  bool down = true;
  size_t kept = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    PedalPoint p = list[i];
    const bool end = i == 0 || i + 1 == list.size();
    if (p.level >= 96) {
      if (!end && down) continue;
      p.level = kDown;
      down = true;
    } else if (p.level < 85) {
      if (!end && !down) continue;
      p.level = kUp;
      down = false;
    } else {
      continue;  // the dead band between the two thresholds
    }
    list[kept++] = p;
  }
  list.resize(kept);
}

void ShapePedalMotion(PedalList& p, bool isSustain) {
  for (PedalPoint& pt : p) pt.work = -1;
  const PedalMotion motion = isSustain ? kSustainMotion : kSoftMotion;
  size_t i = 1;
  while (i + 1 < p.size()) {
    const double prevLevel = p[i - 1].level;
    const double curLevel = p[i].level;
    const int64_t gap = static_cast<int64_t>(p[i].tick) - p[i - 1].tick;

    if (prevLevel != kUp && prevLevel != kDown) {
      // Proportional: the level stays put until just before the next change.
      if (gap >= kHoldTicks && (prevLevel < 70 || prevLevel > 100)) {
        const PedalPoint& cur = p[i];
        const PedalPoint hold{cur.tick - 1, SinceBefore(cur.since, 1), cur.energy, prevLevel,
                              prevLevel};
        p.insert(p.begin() + static_cast<ptrdiff_t>(i), hold);
        i += 2;
      } else {
        i += 1;
      }
      continue;
    }

    const bool release = prevLevel == kDown && curLevel == kUp;
    const bool press = prevLevel == kUp && curLevel == kDown;
    if (!release && !press) {
      // Any other step: hold, then move to the new level in up to 120 ticks.
      const int64_t h = std::clamp<int64_t>(gap / 30, 0, 120);
      const PedalPoint& cur = p[i];
      const PedalPoint hold{ToTick(cur.tick - h), SinceBefore(cur.since, h), cur.energy, prevLevel,
                            prevLevel};
      p.insert(p.begin() + static_cast<ptrdiff_t>(i), hold);
      i += 2;
      continue;
    }

    // A soft pedal let up (or pressed) for a moment is not moved at all.
    if (!isSustain && p[i + 1].level == (release ? kDown : kUp) &&
        static_cast<int64_t>(p[i + 1].tick) - p[i].tick < kQuickSoftPairTicks) {
      p.erase(p.begin() + static_cast<ptrdiff_t>(i));
      i += 1;
      continue;
    }

    {
      PedalPoint& cur = p[i];
      const PedalPoint& prev = p[i - 1];
      cur.level = motion.held;
      int64_t tick = static_cast<int64_t>(cur.tick) - motion.shift;
      if (release) cur.since = SinceBefore(cur.since, motion.shift);
      if (tick <= static_cast<int64_t>(prev.tick)) {
        tick = static_cast<int64_t>(prev.tick) + 1;
        cur.since = prev.since + 1;
      }
      cur.tick = ToTick(tick);
    }
    const Ramp ramp = RampFor(isSustain, press, p[i].since, p[i].energy);
    const int64_t start = static_cast<int64_t>(p[i].tick) - ramp.before;
    const double r = (release ? kDown - p[i].level : p[i].level) / static_cast<double>(ramp.before);
    if (start > static_cast<int64_t>(p[i - 1].tick)) {
      const PedalPoint& cur = p[i];
      const PedalPoint lead{ToTick(start),
                            SinceBefore(cur.since, static_cast<int64_t>(cur.tick) - start),
                            cur.energy, release ? kDown : kUp, p[i - 1].work};
      p.insert(p.begin() + static_cast<ptrdiff_t>(i), lead);
      ++i;
    } else if (i >= 2) {
      MoveToCrossing(p[i - 2], p[i - 1], start, r, release);
    }

    const PedalPoint& cur = p[i];
    const PedalPoint& next = p[i + 1];
    const int64_t end = static_cast<int64_t>(cur.tick) + ramp.after;
    const double full = release ? kUp : kDown;
    PedalPoint tail{ToTick(end), 0, cur.energy, full, full};
    if (end >= static_cast<int64_t>(next.tick)) {
      // The ramp is cut short by the next change: stop at the height it reached.
      tail.tick = ToTick(static_cast<int64_t>(next.tick) - 1);
      const double left =
          static_cast<double>(end - next.tick) / static_cast<double>(end - cur.tick);
      tail.work = release ? left * cur.level : kDown - left * (kDown - cur.level);
    }
    tail.since = ToTick(static_cast<int64_t>(cur.since) - cur.tick + tail.tick);
    p.insert(p.begin() + static_cast<ptrdiff_t>(i + 1), tail);
    i += 2;
  }
  for (PedalPoint& pt : p) {
    if (pt.work != -1) pt.level = pt.work;
  }
}

PedalList ResampleCurve(const PedalList& list, uint32_t interval, int32_t offsetTicks) {
  PedalList out;
  if (list.empty() || interval == 0) return out;
  const uint64_t endTick = static_cast<uint64_t>(list.back().tick) + interval;
  out.reserve(static_cast<size_t>(endTick / interval + 1));
  size_t a = 0;  // the last point at or before q, or the first point
  for (uint64_t t = 0; t < endTick; t += interval) {
    const int64_t q = std::max<int64_t>(static_cast<int64_t>(t) - offsetTicks, 0);
    while (a + 1 < list.size() && list[a + 1].tick <= q) ++a;
    const PedalPoint& pa = list[a];
    const PedalPoint& pb = pa.tick > q ? pa : (a + 1 < list.size() ? list[a + 1] : list.back());
    double level;
    if (pa.tick == pb.tick) {
      level = (pa.level + pb.level) / 2;
    } else {
      level = pa.level + (pb.level - pa.level) * static_cast<double>(q - pa.tick) /
                             static_cast<double>(static_cast<int64_t>(pb.tick) - pa.tick);
    }
    PedalPoint pt;
    pt.tick = static_cast<uint32_t>(t);
    pt.level = level;
    out.push_back(pt);
  }
  return out;
}

PedalList SmoothCurve(const PedalList& x, const PedalSmoothing& k) {
  PedalList out;
  const size_t n = x.size();
  if (n == 0) return out;
  out.reserve(n);
  const auto at = [&](size_t i) { return x[std::min(i, n - 1)].level; };
  // y[0] is the previous output, y[3] the one four steps back; the filter
  // starts as if it had long been fed the curve's opening levels.
  double y[4] = {at(4), at(3), at(2), at(1)};
  for (size_t step = 0; step <= n; ++step) {
    const double v =
        at(step) / k.gain + k.c[0] * y[0] + k.c[1] * y[1] + k.c[2] * y[2] + k.c[3] * y[3];
    y[3] = y[2];
    y[2] = y[1];
    y[1] = y[0];
    y[0] = v;
    // The output is taken one step late, which offsets the filter's lag.
    if (step == 0) continue;
    PedalPoint pt;
    pt.tick = x[step - 1].tick;
    pt.level = std::clamp(v, 0.0, 255.0);
    out.push_back(pt);
  }
  return out;
}

void WritePedalGraph(const std::filesystem::path& path, bool isSustain, const PedalList& events,
                     const PedalList& curve) {
  CWaveFile wav;
  if (wav.OpenWrite(path, 44100, 16, 2) != WaveResult::kOk) return;
  const int bias = isSustain ? -12750 : -19125;
  const uint32_t ticks = events.empty() ? 0 : events.back().tick;
  size_t ci = 0, ei = 0;
  double c = 0, e = 0;
  for (uint32_t t = 0; t < ticks; ++t) {
    while (ci < curve.size() && curve[ci].tick <= t) c = curve[ci++].level;
    while (ei < events.size() && events[ei].tick <= t) e = events[ei++].level;
    const auto left = static_cast<int16_t>(static_cast<int>(150 * c + 0.5) + bias);
    const auto right = static_cast<int16_t>(static_cast<int>(150 * e + 0.5) + bias);
    if (wav.WriteFrame(left, right) != WaveResult::kOk) break;
  }
  (void)wav.Finish();
}

PedalCurves BuildPedalCurves(PedalList& sustainEvents, PedalList& softEvents,
                             bool synthesizePedaling, int32_t sustainOffsetTicks,
                             const std::filesystem::path* graphBase) {
  for (PedalList* list : {&sustainEvents, &softEvents}) {
    MergeSameTickPoints(*list);
    DropRepeatedLevels(*list);
  }
  PedalList sustainCopy, softCopy;
  if (graphBase != nullptr) {
    sustainCopy = sustainEvents;
    softCopy = softEvents;
  }

  PedalCurves curves;
  curves.proportional =
      std::any_of(sustainEvents.begin(), sustainEvents.end(),
                  [](const PedalPoint& p) { return p.level != kUp && p.level != kDown; });
  if (curves.proportional && synthesizePedaling) {
    ReduceToOnOff(sustainEvents);
    ReduceToOnOff(softEvents);
  }
  ShapePedalMotion(sustainEvents, true);
  ShapePedalMotion(softEvents, false);
  // The smoothing follows the source, even when its pedalling was reduced.
  const PedalSmoothing& k = curves.proportional ? kProportionalSmoothing : kOnOffSmoothing;
  curves.sustain = SmoothCurve(ResampleCurve(sustainEvents, 8, sustainOffsetTicks), k);
  curves.soft = SmoothCurve(ResampleCurve(softEvents, 16, 0), k);

  if (graphBase != nullptr) {
    std::filesystem::path sustainPath = *graphBase, softPath = *graphBase;
    sustainPath += "_sustain_graph.wav";
    softPath += "_soft_graph.wav";
    WritePedalGraph(sustainPath, true, sustainCopy, curves.sustain);
    WritePedalGraph(softPath, false, softCopy, curves.soft);
  }
  return curves;
}

}  // namespace tonvelo
