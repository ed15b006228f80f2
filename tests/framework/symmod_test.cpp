#include "framework/symmod.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <tuple>
#include <vector>

namespace tonvelo {
namespace {

using Samples = std::vector<int16_t>;

SymbolModulatorPtr Make(uint32_t rate, uint32_t unit, int16_t amp, uint32_t kind,
                        uint32_t layout = LAYOUT_MONO, uint32_t order = SYMMOD_MSB_FIRST) {
  return SymbolModulatorPtr(symmod_create(rate, unit, amp, kind, layout, order));
}

// Emits the symbols one by one; returns all values and, optionally, the
// count each symbol wrote.
Samples Render(SymbolModulator* m, const std::vector<uint8_t>& symbols,
               std::vector<uint32_t>* counts = nullptr) {
  Samples out;
  int16_t buf[4096];
  for (uint8_t s : symbols) {
    const uint32_t n = symmod_put_symbol(m, s, buf);
    if (counts) counts->push_back(n);
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

// Concatenates parts; a part preceded by `true` is negated.
Samples Join(std::initializer_list<std::pair<bool, const Samples*>> parts) {
  Samples r;
  for (const auto& [neg, p] : parts) {
    for (int16_t v : *p) r.push_back(static_cast<int16_t>(neg ? -v : v));
  }
  return r;
}

// At 8 Hz and one unit per second a table point is a sample, so the output is
// the table itself: A*sin(2*pi*i/8) + 0.5, truncated toward zero, by hand.
const Samples kSine8 = {0, 707, 1000, 707, 0, -706, -999, -706};
const Samples kPulse8 = {0, 707, 1000, 1000, 1000, 1000, 1000, 707};
const Samples* const kS = &kSine8;
const Samples* const kP = &kPulse8;

TEST(GcdBinary, MatchesEuclidIncludingZeros) {
  EXPECT_EQ(gcd_binary(0, 0) + gcd_binary(0, 5) * 10 + gcd_binary(7, 0) * 100, 750u);
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const uint32_t a = rng() >> (rng() % 32), b = rng() >> (rng() % 32);
    ASSERT_EQ(gcd_binary(a, b), std::gcd(a, b)) << a << " " << b;
  }
}

TEST(SymbolModulator, TablesRoundHalfUpSoNegativeValuesLeanTowardZero) {
  auto m = Make(8, 1, 1000, MOD_PULSE_SINE);
  EXPECT_EQ(Samples(m->table[1], m->table[1] + 8), kSine8);
  EXPECT_EQ(Samples(m->table[0], m->table[0] + 8), kPulse8);
  // 2*sin: +1.41 -> 1 but -1.41 -> 0, and -2 -> -1.
  m = Make(8, 1, 2, MOD_PULSE_SINE);
  EXPECT_EQ(Samples(m->table[1], m->table[1] + 8), (Samples{0, 1, 2, 1, 0, 0, -1, 0}));
  // -1.18 -> 0 and -1.90 -> -1, where symmetric rounding gives -1 and -2.
  m = Make(5, 1, 2, MOD_PULSE_SINE);
  EXPECT_EQ(Samples(m->table[1], m->table[1] + 5), (Samples{0, 2, 1, 0, -1}));
  // So the MIDI-serial carrier peaks at +3000 but bottoms at -2999.
  m = Make(44100, 3425, 3000, MOD_PULSE_SINE_WIDE);
  const auto [lo, hi] = std::minmax_element(m->table[1], m->table[1] + 1764);
  EXPECT_EQ(*hi, 3000);
  EXPECT_EQ(*lo, -2999);
}

TEST(SymbolModulator, PulsesAlternateAndSinesKeepTheSign) {
  auto m = Make(8, 1, 1000, MOD_PULSE_SINE);
  EXPECT_EQ(Render(m.get(), {0, 0, 1, 1, 0, 1, 0}),
            Join({{0, kP}, {1, kP}, {0, kS}, {0, kS}, {0, kP}, {1, kS}, {1, kP}}));
  EXPECT_EQ(m->polarity, 1);

  // Kind 1: the very first symbol counts as following a 0.
  m = Make(8, 1, 1000, MOD_PULSE_SINE_PREV);
  EXPECT_EQ(Render(m.get(), {0}), Join({{1, kS}}));
  m = Make(8, 1, 1000, MOD_PULSE_SINE_PREV);
  EXPECT_EQ(Render(m.get(), {1, 0, 1, 1, 0, 0}),
            Join({{1, kP}, {0, kP}, {1, kP}, {0, kS}, {0, kP}, {1, kS}}));
}

TEST(SymbolModulator, KindTwoSyncPulseIsTwoUnitsWideAndFlipsSign) {
  // N = 9 (odd): rise while p < 4.5, flat through p = 13.5, fall from p = 14.
  auto m = Make(9, 1, 1000, MOD_PULSE_SINE_WIDE);
  const Samples pulse9 = {0, 643, 985, 1000, 1000, 1000, 1000, 985, 643};
  EXPECT_EQ(Samples(m->table[0], m->table[0] + 9), pulse9);
  Samples expect = {0, 643, 985};
  expect.insert(expect.end(), 13, 1000);
  expect.insert(expect.end(), {985, 643});
  expect = Join({{0, &expect}, {1, &pulse9}});
  EXPECT_EQ(Render(m.get(), {2, 0}), expect);
}

TEST(SymbolModulator, SquareHalfCyclesOfOneHalfAndTwoUnits) {
  // N = 9: symbol 1 is 9/2 = 4 points, symbol 2 is 18; the level flips after each.
  auto m = Make(9, 1, 3800, MOD_SQUARE);
  std::vector<uint32_t> counts;
  const Samples out = Render(m.get(), {0, 1, 2, 1}, &counts);
  EXPECT_EQ(counts, (std::vector<uint32_t>{9, 4, 18, 4}));
  for (size_t i = 0; i < out.size(); ++i)
    EXPECT_EQ(out[i], i < 9 || (i >= 13 && i < 31) ? 3800 : -3800);

  // N = 3, step 2: symbol 0 leaves phase 1, which already covers symbol 1's
  // single point; it writes nothing but still flips the level.
  m = Make(3, 2, 100, MOD_SQUARE);
  counts.clear();
  EXPECT_EQ(Render(m.get(), {0, 1, 0}, &counts), (Samples{100, 100, 100, 100}));
  EXPECT_EQ(counts, (std::vector<uint32_t>{2, 0, 2}));
}

TEST(SymbolModulator, SymbolTimingFollowsCarriedPhase) {
  // 48000 Hz, 12800 units/s: N 15, step 4 -> 4, 4, 4, 3 repeating.
  auto m = Make(48000, 12800, 16384, MOD_PULSE_SINE);
  std::vector<uint32_t> counts;
  Render(m.get(), std::vector<uint8_t>(40, 0), &counts);
  for (size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], i % 4 == 3 ? 3u : 4u) << i;

  // 44100 Hz: 4, 3, ... and 12800 symbols take exactly one second.
  m = Make(44100, 12800, 16384, MOD_PULSE_SINE);
  counts.clear();
  std::vector<uint8_t> symbols(12800);
  for (size_t i = 0; i < symbols.size(); ++i) symbols[i] = static_cast<uint8_t>(i * 7 % 3 == 0);
  EXPECT_EQ(Render(m.get(), symbols, &counts).size(), 44100u);
  for (uint32_t c : counts) ASSERT_TRUE(c == 3 || c == 4) << c;
  EXPECT_EQ(counts[0], 4u);
  EXPECT_EQ(counts[1], 3u);
}

TEST(SymbolModulator, PutBytesHonoursBitOrderAndLayouts) {
  const uint8_t b = 0x80;
  int16_t buf[128];
  auto msb = Make(8, 1, 1000, MOD_PULSE_SINE, LAYOUT_MONO, SYMMOD_MSB_FIRST);
  ASSERT_EQ(symmod_put_bytes(msb.get(), &b, 1, buf), 64u);
  // A 1, then seven 0s starting with + because the 1 kept the sign.
  EXPECT_EQ(Samples(buf, buf + 64),
            Join({{0, kS}, {0, kP}, {1, kP}, {0, kP}, {1, kP}, {0, kP}, {1, kP}, {0, kP}}));
  auto lsb = Make(8, 1, 1000, MOD_PULSE_SINE, LAYOUT_MONO, SYMMOD_LSB_FIRST);
  ASSERT_EQ(symmod_put_bytes(lsb.get(), &b, 1, buf), 64u);
  const Samples mono(buf, buf + 64);
  EXPECT_EQ(mono, Join({{0, kP}, {1, kP}, {0, kP}, {1, kP}, {0, kP}, {1, kP}, {0, kP}, {1, kS}}));
  EXPECT_EQ(symmod_put_bytes(lsb.get(), &b, 0, buf), 0u);

  // The stereo layouts put the same data beside a 0; an unknown layout
  // writes nothing but keeps time.
  for (const uint32_t layout : {LAYOUT_LEFT, LAYOUT_RIGHT}) {
    auto m = Make(8, 1, 1000, MOD_PULSE_SINE, layout, SYMMOD_LSB_FIRST);
    ASSERT_EQ(symmod_put_bytes(m.get(), &b, 1, buf), 128u);
    for (int i = 0; i < 64; ++i) {
      ASSERT_EQ(buf[2 * i + (layout == LAYOUT_LEFT ? 0 : 1)], mono[i]) << i;
      ASSERT_EQ(buf[2 * i + (layout == LAYOUT_LEFT ? 1 : 0)], 0) << i;
    }
  }
  auto none = Make(8, 1, 1000, MOD_PULSE_SINE, 7, SYMMOD_LSB_FIRST);
  EXPECT_EQ(symmod_put_bytes(none.get(), &b, 1, buf), 0u);
  EXPECT_EQ(std::tie(none->phase, none->polarity, none->prevSymbol),
            std::make_tuple(0u, int16_t{-1}, uint8_t{1}));
}

TEST(SymbolModulator, RateChangeRescalesPhaseAndKeepsPolarity) {
  // 44100 Hz, 4500 units/s (N 49, step 5): one symbol takes 10 samples and
  // carries 1 point. At 3000 units/s N is 147, so that point becomes 3.
  auto m = Make(44100, 4500, 8192, MOD_PULSE_SINE);
  int16_t buf[64];
  ASSERT_EQ(symmod_put_symbol(m.get(), 0, buf), 10u);
  ASSERT_EQ(m->phase, 1u);
  ASSERT_EQ(symmod_set_unit_rate(m.get(), 3000), 0);
  EXPECT_EQ(std::tie(m->tableLength, m->step, m->phase), std::make_tuple(147u, 10u, 3u));
  EXPECT_EQ(m->polarity, -1);
  auto fresh = Make(44100, 3000, 8192, MOD_PULSE_SINE);
  ASSERT_EQ(symmod_put_symbol(m.get(), 0, buf), 15u);  // ceil((147 - 3) / 10)
  for (int i = 0; i < 15; ++i) EXPECT_EQ(buf[i], -fresh->table[0][3 + 10 * i]) << i;
  EXPECT_EQ(m->phase, 6u);

  // A unit rate of 0 would never end a symbol: refused, record unchanged.
  EXPECT_EQ(symmod_create(44100, 0, 1000, MOD_PULSE_SINE, LAYOUT_MONO, 0), nullptr);
  EXPECT_EQ(symmod_set_unit_rate(m.get(), 0), -1);
  EXPECT_EQ(symmod_set_unit_rate(nullptr, 3425), -1);
  EXPECT_EQ(m->step, 10u);
  EXPECT_EQ(symmod_put_symbol(m.get(), 3, buf), 0u);
  EXPECT_EQ(m->polarity, 1);
}

// The modulator users of the encoders, at both output rates.
struct User {
  uint32_t unitRate;
  int16_t amplitude;
  uint32_t kind;
  uint32_t n44, step44, n48, step48;
};
constexpr User kUsers[] = {
    {12800, 16384, MOD_PULSE_SINE, 441, 128, 15, 4},          // Cassette Converter
    {6400, 8192, MOD_PULSE_SINE_PREV, 441, 64, 15, 2},        // LX family
    {3425, 3000, MOD_PULSE_SINE_WIDE, 1764, 137, 1920, 137},  // MIDI-serial
    {4500, 8192, MOD_PULSE_SINE, 49, 5, 32, 3},               // Pianocorder
    {4009, 3800, MOD_SQUARE, 44100, 4009, 48000, 4009},       // PianoDisc
};

class ModulatorUsers : public testing::TestWithParam<std::tuple<uint32_t, User>> {};

// Table geometry; a million random symbols take exactly ceil(total points /
// step) samples; no symbol exceeds the advertised worst case, and some reach it.
TEST_P(ModulatorUsers, LongRunIsExactAndWithinWorstCase) {
  const auto [rate, u] = GetParam();
  auto m = Make(rate, u.unitRate, u.amplitude, u.kind, LAYOUT_LEFT);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->tableLength, rate == 44100 ? u.n44 : u.n48);
  EXPECT_EQ(m->step, rate == 44100 ? u.step44 : u.step48);
  EXPECT_EQ(m->symbolLength[1], u.kind == MOD_SQUARE ? m->tableLength / 2 : m->tableLength);
  const uint8_t symbolKinds = u.kind == MOD_PULSE_SINE_WIDE || u.kind == MOD_SQUARE ? 3 : 2;
  std::mt19937 rng(rate + u.unitRate);
  uint64_t points = 0, samples = 0;
  uint32_t worst[3] = {};
  std::vector<int16_t> buf(symmod_symbol_output_size(m.get(), 2));
  for (int i = 0; i < 1000000; ++i) {
    const auto s = static_cast<uint8_t>(rng() % symbolKinds);
    const uint32_t values = symmod_put_symbol(m.get(), s, buf.data());
    ASSERT_LE(values, symmod_symbol_output_size(m.get(), s));
    worst[s] = std::max(worst[s], values / 2);
    points += m->symbolLength[s];
    samples += values / 2;
  }
  EXPECT_EQ(samples, (points + m->step - 1) / m->step);
  for (uint8_t s = 0; s < symbolKinds; ++s) {
    EXPECT_EQ(worst[s], symmod_max_symbol_samples(m.get(), s)) << int(s);
  }
  EXPECT_EQ(symmod_bytes_output_size(m.get(), 3),
            3 * 8 * 2 * symmod_max_symbol_samples(m.get(), 0));
}

INSTANTIATE_TEST_SUITE_P(BothRates, ModulatorUsers,
                         testing::Combine(testing::Values(44100u, 48000u),
                                          testing::ValuesIn(kUsers)));

}  // namespace
}  // namespace tonvelo
