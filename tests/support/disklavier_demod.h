#pragma once
// A Disklavier data-channel demodulator for tests, written from the signal's
// definition and sharing no code with the encoder: it fits a 6300 Hz sinusoid
// to each symbol window, quantises the phase to 22.5 degree steps, turns phase
// differences back into symbol values, then symbols into the byte stream and
// the byte stream into MIDI messages.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

namespace tonvelo::test {

constexpr double kDkCarrierHz = 6300.0;
constexpr uint32_t kDkSymbolRate = 3150;
constexpr uint32_t kDkReferencePhase = 4;  // the carrier phase before the first symbol
constexpr uint8_t kDkIdle = 15;

// First sample (counted from the start of the data) of symbol k: symbols are
// exactly 1/3150 s long, sample n belongs to symbol floor(n * 3150 / rate).
inline uint64_t DkSymbolStart(uint64_t k, uint32_t rate) {
  return (k * rate + kDkSymbolRate - 1) / kDkSymbolRate;
}

struct DkSymbol {
  uint8_t phase = 0;  // absolute carrier phase, 0..15 in 22.5 degree steps
  uint8_t value = 0;  // decoded symbol
  double amplitude = 0;
  double phaseError = 0;   // distance from the nearest phase step, radians
  double maxResidual = 0;  // worst sample deviation from the fitted sinusoid
};

struct DkSignal {
  bool ok = false;
  std::string error;
  uint32_t rate = 0;
  size_t leadIn = 0;   // zero samples before the data
  size_t dataEnd = 0;  // first sample after the last symbol
  std::vector<DkSymbol> symbols;
  size_t SymbolSample(size_t k) const { return leadIn + DkSymbolStart(k, rate); }
};

inline uint8_t DkValueForIncrement(uint32_t increment) {
  // The increment each symbol value sends; inverted here.
  static constexpr uint8_t kIncrement[16] = {3, 4, 12, 11, 2, 5, 13, 10, 0, 7, 15, 8, 1, 6, 14, 9};
  for (uint8_t v = 0; v < 16; ++v) {
    if (kIncrement[v] == increment) return v;
  }
  return 0xFF;
}

inline DkSignal DemodulateDisklavier(const std::vector<int16_t>& x, uint32_t rate) {
  DkSignal out;
  out.rate = rate;
  size_t lead = 0;
  while (lead < x.size() && x[lead] == 0) ++lead;
  out.leadIn = lead;
  if (lead == x.size()) {
    out.error = "no data";
    return out;
  }
  // The carrier repeats every `period` samples; reducing n keeps the
  // arguments small and exact.
  const uint64_t period = rate / std::gcd<uint64_t>(rate, 6300);
  const double w = 2.0 * M_PI * kDkCarrierHz / rate;
  uint32_t prevPhase = kDkReferencePhase;
  for (uint64_t k = 0;; ++k) {
    const uint64_t a = DkSymbolStart(k, rate), b = DkSymbolStart(k + 1, rate);
    if (lead + b > x.size()) break;
    bool silent = true;
    for (uint64_t n = a; n < b; ++n) silent = silent && x[lead + n] == 0;
    if (silent) break;
    // Least-squares fit of s = p sin(wn) + q cos(wn) over the window.
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
    for (uint64_t n = a; n < b; ++n) {
      const double t = w * static_cast<double>(n % period);
      const double sn = std::sin(t), cn = std::cos(t), y = x[lead + n];
      ss += sn * sn;
      cc += cn * cn;
      sc += sn * cn;
      ys += y * sn;
      yc += y * cn;
    }
    const double det = ss * cc - sc * sc;
    const double p = (ys * cc - yc * sc) / det;
    const double q = (yc * ss - ys * sc) / det;
    DkSymbol sym;
    sym.amplitude = std::hypot(p, q);
    double phi = std::atan2(q, p);  // p = A cos(phi), q = A sin(phi)
    if (phi < 0) phi += 2 * M_PI;
    const long step = std::lround(phi / (M_PI / 8));
    sym.phaseError = std::fabs(phi - step * (M_PI / 8));
    sym.phase = static_cast<uint8_t>(step % 16);
    for (uint64_t n = a; n < b; ++n) {
      const double t = w * static_cast<double>(n % period);
      const double fit = p * std::sin(t) + q * std::cos(t);
      sym.maxResidual = std::max(sym.maxResidual, std::fabs(x[lead + n] - fit));
    }
    sym.value = DkValueForIncrement((sym.phase + 16 - prevPhase) % 16);
    prevPhase = sym.phase;
    out.symbols.push_back(sym);
  }
  out.dataEnd = lead + DkSymbolStart(out.symbols.size(), rate);
  for (size_t n = out.dataEnd; n < x.size(); ++n) {
    if (x[n] != 0) {
      out.error = "signal after the data end at sample " + std::to_string(n);
      return out;
    }
  }
  out.ok = true;
  return out;
}

// One unit of the byte stream: a byte (two symbols) or, after the program
// change escape C4, a single channel symbol.
struct DkItem {
  bool channelSymbol = false;
  uint8_t value = 0;
  size_t symbol = 0;  // index of its first symbol
};

// Idle symbols only occur where a byte would start; a byte's high nibble is
// never 15 because F0..FF are escaped or never sent.
inline std::vector<DkItem> DkBytes(const std::vector<DkSymbol>& symbols) {
  std::vector<DkItem> items;
  for (size_t k = 0; k < symbols.size();) {
    const uint8_t v = symbols[k].value;
    if (v == kDkIdle) {
      ++k;
      continue;
    }
    if (k + 1 >= symbols.size()) break;
    const uint8_t byte = static_cast<uint8_t>(v << 4 | symbols[k + 1].value);
    items.push_back({false, byte, k});
    k += 2;
    if (byte == 0xC4 && k < symbols.size()) {
      items.push_back({true, symbols[k].value, k});
      ++k;
    }
  }
  return items;
}

enum class DkKind { kChannel, kSysEx, kProgram, kStray };

struct DkMessage {
  DkKind kind = DkKind::kStray;
  // kChannel: status and data; kSysEx: the bytes between C0 and C7;
  // kProgram: channel, program, then the repeated data byte; kStray: one byte.
  std::vector<uint8_t> bytes;
  size_t firstSymbol = 0;
  size_t endSymbol = 0;  // one past the last symbol
};

inline int DkDataBytes(uint8_t status) {
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
      return 1;
    default:
      return 2;
  }
}

inline std::vector<DkMessage> DkMessages(const std::vector<DkItem>& items) {
  std::vector<DkMessage> out;
  auto itemEnd = [](const DkItem& it) { return it.symbol + (it.channelSymbol ? 1 : 2); };
  for (size_t i = 0; i < items.size();) {
    DkMessage m;
    m.firstSymbol = items[i].symbol;
    const uint8_t b = items[i].value;
    size_t j = i + 1;
    if (b == 0xC0) {
      m.kind = DkKind::kSysEx;
      while (j < items.size() && items[j].value != 0xC7) m.bytes.push_back(items[j++].value);
      if (j < items.size()) ++j;
    } else if (b == 0xC4 && i + 3 < items.size() && items[i + 1].channelSymbol) {
      m.kind = DkKind::kProgram;
      for (j = i + 1; j <= i + 3; ++j) m.bytes.push_back(items[j].value);
    } else if (b >= 0x80 && (b & 0xF0) != 0xC0 && b < 0xF0) {
      m.kind = DkKind::kChannel;
      m.bytes.push_back(b);
      for (int d = 0; d < DkDataBytes(b) && j < items.size() && items[j].value < 0x80; ++d) {
        m.bytes.push_back(items[j++].value);
      }
    } else {
      m.bytes.push_back(b);
    }
    m.endSymbol = itemEnd(items[j - 1]);
    out.push_back(m);
    i = j;
  }
  return out;
}

}  // namespace tonvelo::test

namespace tonvelo::test {

// The signal a list of symbol values should produce, rendered the long way:
// each frame of 21 symbols lays their two-cycle phase tables end to end in a
// 47040-point buffer, which is read every 160 (44.1 kHz) or 147 (48 kHz)
// points. `lead` zeros before, `trail` zeros after.
inline std::vector<int16_t> DkReferenceSignal(const std::vector<uint8_t>& values, size_t lead,
                                              uint32_t rate, size_t trail) {
  static constexpr uint8_t kIncrement[16] = {3, 4, 12, 11, 2, 5, 13, 10, 0, 7, 15, 8, 1, 6, 14, 9};
  std::vector<std::vector<int16_t>> tables(16, std::vector<int16_t>(2240));
  for (int k = 0; k < 16; ++k) {
    for (int i = 0; i < 1120; ++i) {
      const double v = 8192.0 * std::sin(2.0 * M_PI * i / 1120.0 + k * M_PI / 8.0);
      tables[k][i] = tables[k][i + 1120] = static_cast<int16_t>(std::trunc(v));
    }
  }
  const size_t step = rate == 48000 ? 147 : 160;
  std::vector<int16_t> out(lead, 0);
  std::vector<int16_t> buffer(47040);
  uint32_t phase = kDkReferencePhase;
  for (size_t f = 0; f + 21 <= values.size(); f += 21) {
    for (size_t s = 0; s < 21; ++s) {
      phase = (phase + kIncrement[values[f + s]]) % 16;
      std::copy(tables[phase].begin(), tables[phase].end(), buffer.begin() + s * 2240);
    }
    for (size_t j = 0; j < buffer.size(); j += step) out.push_back(buffer[j]);
  }
  out.insert(out.end(), trail, 0);
  return out;
}

}  // namespace tonvelo::test
