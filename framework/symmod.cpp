#include "framework/symmod.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace tonvelo {

namespace {

constexpr uint32_t kPulse = 0;
constexpr uint32_t kSine = 1;

// Table values are rounded by adding 0.5 and truncating toward zero, so a
// negative value comes out one step nearer zero than symmetric rounding would
// give (-1.6 -> -1). Receivers were tuned on signals made this way.
int16_t RoundHalfUpTruncating(double v) { return static_cast<int16_t>(static_cast<int>(v + 0.5)); }

// Builds the one-unit sine cycle and the flat-top pulse (a rising quarter
// sine, the flat top from pi/2 to 3pi/2, a falling quarter sine).
void FillTables(SymbolModulator* m) {
  const uint32_t n = m->tableLength;
  const double pi = 2.0 * std::asin(1.0);
  const double amplitude = m->amplitude;
  for (uint32_t i = 0; i < n; ++i) {
    const double x = 2.0 * pi * i / n;
    const double s = std::sin(x);
    m->table[kSine][i] = RoundHalfUpTruncating(amplitude * s);
    if (x < pi / 2) {
      m->table[kPulse][i] = RoundHalfUpTruncating(amplitude * s);
    } else if (x <= 3 * pi / 2) {
      m->table[kPulse][i] = m->amplitude;
    } else {
      m->table[kPulse][i] = RoundHalfUpTruncating(-amplitude * s);
    }
  }
}

// One stretch of a symbol's waveform over table positions up to `end`
// (exclusive): src[p - offset] * sign, or the constant `level` when src is
// null. A symbol is at most three stretches, chosen once per symbol so the
// sample loop itself never looks at the kind.
struct Stretch {
  const int16_t* src;
  uint32_t offset;
  int16_t sign;
  int16_t level;
  uint32_t end;
};

template <uint32_t Layout>
uint32_t RenderStretches(SymbolModulator* m, const Stretch* stretches, int count, int16_t* out) {
  int16_t* o = out;
  uint32_t p = m->phase;
  const uint32_t step = m->step;
  for (int k = 0; k < count; ++k) {
    const Stretch& st = stretches[k];
    for (; p < st.end; p += step) {
      const int16_t v =
          st.src != nullptr ? static_cast<int16_t>(st.src[p - st.offset] * st.sign) : st.level;
      if constexpr (Layout == LAYOUT_MONO) {
        *o++ = v;
      } else if constexpr (Layout == LAYOUT_LEFT) {
        *o++ = v;
        *o++ = 0;
      } else if constexpr (Layout == LAYOUT_RIGHT) {
        *o++ = 0;
        *o++ = v;
      }
    }
  }
  m->phase = p;
  return static_cast<uint32_t>(o - out);
}

// Describes symbol `symbol` of the record's kind as stretches; returns how many.
int PlanSymbol(const SymbolModulator* m, uint8_t symbol, Stretch* s) {
  const uint32_t n = m->tableLength;
  const uint32_t length = m->symbolLength[symbol];
  const int16_t pol = m->polarity;
  const int16_t* pulse = m->table[kPulse];
  const int16_t* sine = m->table[kSine];
  const Stretch silence{nullptr, 0, 0, 0, length};

  switch (m->kind) {
    case MOD_PULSE_SINE:
    case MOD_PULSE_SINE_WIDE:
      if (symbol == 0) {
        s[0] = {pulse, 0, pol, 0, length};
        return 1;
      }
      if (symbol == 1) {
        s[0] = {sine, 0, pol, 0, length};
        return 1;
      }
      if (m->kind == MOD_PULSE_SINE) {
        s[0] = silence;
        return 1;
      }
      // The two-unit pulse: the pulse's rise, a flat top from N/2 to 1.5N
      // (inclusive, as compared in floating point: p < N/2 is 2p < N), then
      // the pulse's fall read from one unit back.
      s[0] = {pulse, 0, pol, 0, (n + 1) / 2};
      s[1] = {nullptr, 0, 0, static_cast<int16_t>(m->amplitude * pol),
              std::min(3 * n / 2 + 1, length)};
      s[2] = {pulse, n, pol, 0, length};
      return 3;
    case MOD_PULSE_SINE_PREV: {
      if (symbol == 2) {
        s[0] = silence;
        return 1;
      }
      const bool afterOne = m->prevSymbol != 0;
      const int16_t* src = (symbol == 0) == afterOne ? pulse : sine;
      s[0] = {src, 0, static_cast<int16_t>(afterOne ? 1 : -1), 0, length};
      return 1;
    }
    case MOD_SQUARE:
      s[0] = {nullptr, 0, 0, static_cast<int16_t>(m->amplitude * pol), length};
      return 1;
    default:
      s[0] = silence;
      return 1;
  }
}

uint32_t ValuesPerSample(uint32_t layout) {
  switch (layout) {
    case LAYOUT_MONO:
      return 1;
    case LAYOUT_LEFT:
    case LAYOUT_RIGHT:
      return 2;
    default:
      return 0;
  }
}

}  // namespace

uint32_t gcd_binary(uint32_t a, uint32_t b) {
  if (a == 0 || b == 0) return a | b;
  const int shift = std::countr_zero(a | b);
  a >>= std::countr_zero(a);
  do {
    b >>= std::countr_zero(b);
    if (a > b) std::swap(a, b);
    b -= a;
  } while (b != 0);
  return a << shift;
}

SymbolModulator* symmod_create(uint32_t sampleRate, uint32_t unitRate, int16_t amplitude,
                               uint32_t kind, uint32_t layout, uint32_t bitOrder) {
  auto* m = static_cast<SymbolModulator*>(std::calloc(1, sizeof(SymbolModulator)));
  if (m == nullptr) return nullptr;
  m->layout = layout;
  m->kind = kind;
  m->bitOrder = bitOrder;
  m->sampleRate = sampleRate;
  m->amplitude = amplitude;
  m->polarity = 1;
  if (symmod_set_unit_rate(m, unitRate) != 0) {
    symmod_destroy(m);
    return nullptr;
  }
  return m;
}

int symmod_set_unit_rate(SymbolModulator* m, uint32_t unitRate) {
  // A unit rate of 0 would give a step of 0 and a symbol that never ends.
  if (m == nullptr || unitRate == 0) return -1;
  const uint32_t g = gcd_binary(m->sampleRate, unitRate);
  const uint32_t newN = m->sampleRate / g;

  if (newN != m->tableLength) {
    // Both tables are replaced or neither: a record left with one table
    // shorter than tableLength would be read past its end.
    int16_t* fresh[2] = {nullptr, nullptr};
    if (newN != 0) {
      fresh[kPulse] = static_cast<int16_t*>(std::malloc(sizeof(int16_t) * newN));
      fresh[kSine] = static_cast<int16_t*>(std::malloc(sizeof(int16_t) * newN));
      if (fresh[kPulse] == nullptr || fresh[kSine] == nullptr) {
        std::free(fresh[kPulse]);
        std::free(fresh[kSine]);
        return -1;
      }
    }
    std::free(m->table[kPulse]);
    std::free(m->table[kSine]);
    m->table[kPulse] = fresh[kPulse];
    m->table[kSine] = fresh[kSine];
  }
  if (m->tableLength != 0) {
    m->phase = static_cast<uint32_t>(static_cast<uint64_t>(m->phase) * newN / m->tableLength);
  }
  m->tableLength = newN;
  m->step = unitRate / g;
  m->symbolLength[0] = newN;
  m->symbolLength[1] = m->kind == MOD_SQUARE ? newN / 2 : newN;
  m->symbolLength[2] = 2 * newN;
  FillTables(m);
  return 0;
}

uint32_t symmod_put_symbol(SymbolModulator* m, uint8_t symbol, int16_t* out) {
  if (m == nullptr || symbol > 2) return 0;
  Stretch stretches[3];
  const int count = PlanSymbol(m, symbol, stretches);
  uint32_t written;
  switch (m->layout) {
    case LAYOUT_MONO:
      written = RenderStretches<LAYOUT_MONO>(m, stretches, count, out);
      break;
    case LAYOUT_LEFT:
      written = RenderStretches<LAYOUT_LEFT>(m, stretches, count, out);
      break;
    case LAYOUT_RIGHT:
      written = RenderStretches<LAYOUT_RIGHT>(m, stretches, count, out);
      break;
    default:
      written = RenderStretches<~0u>(m, stretches, count, out);
      break;
  }
  // A carried phase can already exceed a short symbol; it then only shrinks.
  m->phase -= m->symbolLength[symbol];
  if (symbol != 1 || m->kind == MOD_SQUARE) m->polarity = static_cast<int16_t>(-m->polarity);
  m->prevSymbol = symbol;
  return written;
}

uint32_t symmod_put_bytes(SymbolModulator* m, const uint8_t* bytes, uint32_t count, int16_t* out) {
  if (m == nullptr) return 0;
  uint32_t total = 0;
  const bool msbFirst = m->bitOrder == SYMMOD_MSB_FIRST;
  for (uint32_t k = 0; k < count; ++k) {
    const uint8_t b = bytes[k];
    for (int i = 0; i < 8; ++i) {
      const uint8_t bit = static_cast<uint8_t>((b >> (msbFirst ? 7 - i : i)) & 1);
      total += symmod_put_symbol(m, bit, out + total);
    }
  }
  return total;
}

void symmod_destroy(SymbolModulator* m) {
  if (m == nullptr) return;
  std::free(m->table[kPulse]);
  std::free(m->table[kSine]);
  std::free(m);
}

uint32_t symmod_max_symbol_samples(const SymbolModulator* m, uint8_t symbol) {
  if (m == nullptr || symbol > 2 || m->step == 0) return 0;
  return (m->symbolLength[symbol] + m->step - 1) / m->step;
}

uint32_t symmod_symbol_output_size(const SymbolModulator* m, uint8_t symbol) {
  if (m == nullptr) return 0;
  return symmod_max_symbol_samples(m, symbol) * ValuesPerSample(m->layout);
}

uint32_t symmod_bytes_output_size(const SymbolModulator* m, uint32_t count) {
  if (m == nullptr) return 0;
  const uint32_t perBit =
      std::max(symmod_symbol_output_size(m, 0), symmod_symbol_output_size(m, 1));
  return count * 8 * perBit;
}

}  // namespace tonvelo
