#include "framework/symmod.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

namespace tonvelo {
namespace {

using Samples = std::vector<int16_t>;
using Counts = std::vector<uint32_t>;

SymbolModulatorPtr Make(uint32_t rate, uint32_t unit, int16_t amp, uint32_t kind,
                        uint32_t layout = LAYOUT_MONO, uint32_t order = SYMMOD_MSB_FIRST) {
  return SymbolModulatorPtr(symmod_create(rate, unit, amp, kind, layout, order));
}

// Emits the symbols one by one; all values, and the count each symbol wrote.
Samples Render(SymbolModulator* m, const std::vector<uint8_t>& symbols, Counts* counts = nullptr) {
  Samples out;
  int16_t buf[4096];
  for (uint8_t s : symbols) {
    const uint32_t n = symmod_put_symbol(m, s, buf);
    if (counts) counts->push_back(n);
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

// At 8 Hz, one unit a second, the output is the table: A*sin(2*pi*i/8) + 0.5, truncated.
const Samples kSine8 = {0, 707, 1000, 707, 0, -706, -999, -706};
const Samples kPulse8 = {0, 707, 1000, 1000, 1000, 1000, 1000, 707};

// "P -S ...": the 8-point pulse and sine tables one after another, "-" negated.
Samples Seq(const std::string& text) {
  Samples r;
  std::istringstream in(text);
  for (std::string w; in >> w;) {
    for (int16_t v : w.back() == 'S' ? kSine8 : kPulse8) r.push_back(w[0] == '-' ? -v : v);
  }
  return r;
}

TEST(GcdBinary, MatchesEuclidIncludingZeros) {
  std::mt19937 rng(7);  // large shifts give zeros and shared powers of two
  for (int i = 0; i < 2000; ++i) {
    const uint32_t a = rng() >> (rng() % 32), b = rng() >> (rng() % 32);
    ASSERT_EQ(gcd_binary(a, b), std::gcd(a, b)) << a << " " << b;
  }
}

TEST(SymbolModulator, TablesRoundHalfUpSoNegativeValuesLeanTowardZero) {
  auto eight = Make(8, 1, 2, MOD_PULSE_SINE), five = Make(5, 1, 2, MOD_PULSE_SINE);
  // +1.41 -> 1 but -1.41 -> 0, -2 -> -1; at N = 5, -1.18 -> 0, -1.90 -> -1 (1000: sequences).
  EXPECT_EQ(Samples(eight->table[1], eight->table[1] + 8), (Samples{0, 1, 2, 1, 0, 0, -1, 0}));
  EXPECT_EQ(Samples(five->table[1], five->table[1] + 5), (Samples{0, 2, 1, 0, -1}));
}

// Kind 0 pulses alternate, sines keep the sign; kind 1 follows the symbol before (first: a 0).
TEST(SymbolModulator, PulseAndSineSequences) {
  EXPECT_EQ(Render(Make(8, 1, 1000, MOD_PULSE_SINE).get(), {0, 0, 1, 1, 0, 1, 0}),
            Seq("P -P S S P -S -P"));
  EXPECT_EQ(Render(Make(8, 1, 1000, MOD_PULSE_SINE_PREV).get(), {0}), Seq("-S"));
  EXPECT_EQ(Render(Make(8, 1, 1000, MOD_PULSE_SINE_PREV).get(), {1, 0, 1, 1, 0, 0}),
            Seq("-P P -P S P -S"));
  const uint8_t b = 0x80;
  for (auto [order, expected] : {std::pair{SYMMOD_MSB_FIRST, "S P -P P -P P -P P"},
                                 {SYMMOD_LSB_FIRST, "P -P P -P P -P P -S"}}) {
    auto m = Make(8, 1, 1000, MOD_PULSE_SINE, LAYOUT_MONO, order);
    Samples out(64);
    out.resize(symmod_put_bytes(m.get(), &b, 1, out.data()));
    EXPECT_EQ(symmod_put_bytes(m.get(), &b, 0, out.data()), 0u);
    EXPECT_EQ(out, Seq(expected)) << expected;
    EXPECT_EQ(std::tie(m->phase, m->polarity, m->prevSymbol),
              std::make_tuple(0u, int16_t{-1}, uint8_t{order == SYMMOD_LSB_FIRST}));
  }
}

// N = 9: the sync pulse is flat from 4.5 through 13.5; squares of 9, 4, 18 points (or none).
TEST(SymbolModulator, SyncPulseAndSquareWaves) {
  auto m = Make(9, 1, 1000, MOD_PULSE_SINE_WIDE);
  Samples want = {0, 643, 985};  // then a negated one-unit pulse
  want.insert(want.end(), 13, 1000);
  want.insert(want.end(), {985, 643, 0, -643, -985, -1000, -1000, -1000, -1000, -985, -643});
  EXPECT_EQ(Render(m.get(), {2, 0}), want);

  Counts counts, carried;
  const Samples out = Render(Make(9, 1, 3800, MOD_SQUARE).get(), {0, 1, 2, 1}, &counts);
  EXPECT_EQ(counts, (Counts{9, 4, 18, 4}));
  for (size_t i = 0; i < out.size(); ++i)
    EXPECT_EQ(out[i], i < 9 || (i >= 13 && i < 31) ? 3800 : -3800) << i;
  EXPECT_EQ(Render(Make(3, 2, 100, MOD_SQUARE).get(), {0, 1, 0}, &carried), Samples(4, 100));
  EXPECT_EQ(carried, (Counts{2, 0, 2}));
}

TEST(SymbolModulator, RateChangeRescalesPhaseAndKeepsPolarity) {
  // N 49, step 5: 10 samples, 1 point carried; at 3000 units/s N is 147 and it becomes 3.
  auto m = Make(44100, 4500, 8192, MOD_PULSE_SINE);
  int16_t buf[64];
  ASSERT_EQ(symmod_put_symbol(m.get(), 0, buf), 10u);
  ASSERT_EQ(m->phase, 1u);
  ASSERT_EQ(symmod_set_unit_rate(m.get(), 3000), 0);
  EXPECT_EQ(std::tie(m->tableLength, m->step, m->phase, m->polarity),
            std::make_tuple(147u, 10u, 3u, int16_t{-1}));
  auto fresh = Make(44100, 3000, 8192, MOD_PULSE_SINE);
  ASSERT_EQ(symmod_put_symbol(m.get(), 0, buf), 15u);  // ceil((147 - 3) / 10)
  for (int i = 0; i < 15; ++i) EXPECT_EQ(buf[i], -fresh->table[0][3 + 10 * i]) << i;
  EXPECT_EQ(m->phase, 6u);

  // A unit rate of 0 would never end a symbol: refused, record unchanged.
  EXPECT_EQ(symmod_create(44100, 0, 1000, MOD_PULSE_SINE, LAYOUT_MONO, 0), nullptr);
  EXPECT_EQ(symmod_set_unit_rate(m.get(), 0), -1);
  EXPECT_EQ(symmod_set_unit_rate(nullptr, 3425), -1);
  EXPECT_EQ(symmod_put_symbol(m.get(), 3, buf), 0u);
  EXPECT_EQ(std::tuple(m->step, m->polarity), std::tuple(10u, int16_t{1}));
}

// The encoders' settings: ceil(points / step) samples exactly, each symbol up to its worst case.
TEST(SymbolModulator, EncoderSettingsRunExactlyWithinTheWorstCase) {
  // Cassette Converter, LX family, MIDI-serial, Pianocorder, PianoDisc.
  for (auto [unitRate, kind] : {std::pair{12800u, MOD_PULSE_SINE}, {6400u, MOD_PULSE_SINE_PREV},
           {3425u, MOD_PULSE_SINE_WIDE}, {4500u, MOD_PULSE_SINE}, {4009u, MOD_SQUARE}}) {
    for (const uint32_t rate : {44100u, 48000u}) {
      auto m = Make(rate, unitRate, 1000, kind);
      std::mt19937 rng(rate + unitRate);
      uint64_t points = 0, samples = 0;
      uint32_t worst[3] = {};
      int16_t buf[256];
      for (int i = 0; i < 1000000; ++i) {
        const auto s = static_cast<uint8_t>(rng() % 3);
        const uint32_t n = symmod_put_symbol(m.get(), s, buf);
        worst[s] = std::max(worst[s], n);
        points += m->symbolLength[s];
        samples += n;
      }
      EXPECT_EQ(samples, (points + m->step - 1) / m->step) << rate << " " << unitRate;
      for (uint8_t s = 0; s < 3; ++s)
        EXPECT_EQ(worst[s], symmod_max_symbol_samples(m.get(), s)) << int(s) << " " << unitRate;
    }
  }
}

}  // namespace
}  // namespace tonvelo
