#include "encoders/lx/lx_pedal.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace tonvelo {
namespace {

using Shape = std::vector<std::pair<uint32_t, double>>;  // tick, level

PedalList Points(const std::vector<PedalPoint>& points) { return points; }
PedalPoint P(uint32_t tick, double level, uint32_t since = 0, double energy = 0) {
  return {tick, since, energy, level, -1};
}
Shape ShapeOf(const PedalList& list) {
  Shape s;
  for (const PedalPoint& p : list) s.emplace_back(p.tick, p.level);
  return s;
}

TEST(LXPedalTest, ListSteps) {
  PedalList l = Points({P(0, 0), P(100, 50), P(100, 70), P(200, 70), P(300, 70)});
  MergeSameTickPoints(l);
  DropRepeatedLevels(l);
  EXPECT_EQ(ShapeOf(l), (Shape{{0, 0}, {100, 70}, {300, 70}}));
  // 90 lies in the dead band, 96 is down, 84 up; a second "down" is dropped.
  l = Points({P(0, 0), P(100, 90), P(200, 96), P(250, 120), P(300, 84), P(400, 0)});
  ReduceToOnOff(l);
  EXPECT_EQ(ShapeOf(l), (Shape{{0, 0}, {200, 255}, {300, 0}, {400, 0}}));
}

TEST(LXPedalTest, MotionShaping) {
  struct Case {
    const char* what;
    bool sustain;
    PedalList in;
    Shape want;
  };
  const Case cases[] = {
      // A press long after a note ramps over 291 ticks; a release 2 s after
      // a quiet note over 510 (340 before, 170 after the point 12 ticks early).
      {"slow release",
       true,
       {P(0, 0, 10000), P(400, 255, 1000), P(1000, 0, 1600, 20), P(1250, 0)},
       {{0, 0}, {291, 0}, {388, 85}, {582, 255}, {648, 255}, {988, 85}, {1158, 0}, {1250, 0}}},
      // Soon after a loud chord: 107 ticks, 71 before and 35 after.
      {"fast release",
       true,
       {P(0, 0, 10000), P(400, 255, 1000), P(1000, 0, 300, 120), P(1250, 0)},
       {{0, 0}, {291, 0}, {388, 85}, {582, 255}, {917, 255}, {988, 85}, {1023, 0}, {1250, 0}}},
      // The soft pedal let up for 100 ticks stays down.
      {"soft",
       false,
       {P(0, 0), P(400, 255), P(1000, 0), P(1100, 255), P(2000, 0), P(2250, 0)},
       {{0, 0},
        {291, 0},
        {376, 128},
        {461, 255},
        {1100, 255},
        {1891, 255},
        {1976, 128},
        {2061, 0},
        {2250, 0}}},
      // Proportional steps hold, then move within gap/30 ticks.
      {"proportional",
       true,
       {P(0, 0, 10000), P(400, 254, 200), P(1000, 0, 800), P(1250, 0)},
       {{0, 0}, {387, 0}, {400, 254}, {999, 254}, {1000, 0}, {1250, 0}}},
      // Press and release one tick apart right after a point: the press's
      // cut-short end lands on the press itself, and the release meets that
      // vertical step where it stands.
      {"same-tick crossing",
       true,
       {P(0, 0, 10000), P(399, 0, 5), P(400, 255, 5), P(401, 0, 6), P(1250, 0)},
       {{0, 0},
        {386, 0},
        {360, 0},
        {400, 85},
        {400, 255 - 170.0 / 71 * 70},
        {401, 85},
        {436, 0},
        {1250, 0}}},
  };
  for (const Case& c : cases) {
    PedalList l = c.in;
    ShapePedalMotion(l, c.sustain);
    EXPECT_EQ(ShapeOf(l), c.want) << c.what;
  }
}

TEST(LXPedalTest, CurvesFromNothingAndFromSwitches) {
  // No pedal: start and end points only, curves 0 everywhere.
  PedalList sustain = Points({P(0, 0, 10000), P(800, 0)});
  PedalList soft = sustain;
  PedalCurves c = BuildPedalCurves(sustain, soft, false, 0, nullptr);
  EXPECT_FALSE(c.proportional);
  ASSERT_EQ(c.sustain.size(), 101u);
  ASSERT_EQ(c.soft.size(), 51u);
  for (const auto& p : c.sustain) ASSERT_EQ(p.level, 0);
  for (const auto& p : c.soft) ASSERT_EQ(p.level, 0);
  EXPECT_EQ(c.sustain.back().tick, 800u);

  // Controller 127 gives 254: a file of 0 and 127 counts as proportional, and
  // synthesising turns its steps into ramps through the press level.
  for (bool synth : {false, true}) {
    sustain = Points({P(0, 0, 10000), P(400, 254, 1000), P(1000, 0, 1600), P(1250, 0)});
    soft = Points({P(0, 0, 10000), P(1250, 0)});
    c = BuildPedalCurves(sustain, soft, synth, 0, nullptr);
    EXPECT_TRUE(c.proportional);
    EXPECT_EQ(sustain[2].level, synth ? 85 : 254) << synth;
  }

  // Both coefficient sets keep a steady level.
  PedalList flat;
  for (uint32_t t = 0; t < 80; t += 8) flat.push_back(P(t, 100));
  for (const PedalSmoothing* k : {&kProportionalSmoothing, &kOnOffSmoothing}) {
    for (const auto& p : SmoothCurve(flat, *k)) EXPECT_NEAR(p.level, 100, 1e-6);
  }
}

TEST(LXPedalTest, SustainOffsetShiftsTheCurve) {
  const PedalList l = Points({P(0, 30), P(400, 30), P(410, 200), P(900, 200), P(1000, 0)});
  const PedalList base = ResampleCurve(l, 8, 0);
  const PedalList later = ResampleCurve(l, 8, 80);
  const PedalList earlier = ResampleCurve(l, 8, -80);
  ASSERT_EQ(later.size(), base.size());
  for (size_t k = 0; k < base.size(); ++k) {
    EXPECT_EQ(later[k].tick, 8 * k);
    EXPECT_EQ(later[k].level, k < 10 ? 30 : base[k - 10].level) << k;
    if (k + 10 < base.size()) {
      EXPECT_EQ(earlier[k].level, base[k + 10].level) << k;
    }
  }
}

}  // namespace
}  // namespace tonvelo
