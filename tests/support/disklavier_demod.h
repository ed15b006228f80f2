#pragma once
// A Disklavier receiver for tests, written from the signal's definition and
// sharing no code with the encoder: a least-squares fit of the 6300 Hz
// carrier to each symbol's samples gives its phase, phase differences give the
// symbol values, nibble pairs the byte stream and the stream the messages.
// DkReferenceSignal renders symbols the long way, through the 47040-point
// frame buffer, for sample-exact comparison.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

namespace tonvelo::test {

constexpr uint32_t kDkSymbolRate = 3150;
constexpr uint32_t kDkFirstPhase = 4;  // carrier phase before the first symbol
constexpr uint8_t kDkIncrement[16] = {3, 4, 12, 11, 2, 5, 13, 10, 0, 7, 15, 8, 1, 6, 14, 9};

// Symbols last exactly 1/3150 s: sample n of the data belongs to symbol
// floor(n * 3150 / rate).
inline size_t DkSymbolStart(size_t k, uint32_t rate) {
  return (k * rate + kDkSymbolRate - 1) / kDkSymbolRate;
}

struct DkSymbol {
  uint8_t phase = 0;  // absolute carrier phase in 22.5 degree steps
  uint8_t value = 0;
};

struct DkSignal {
  bool ok = false;
  std::string error;
  uint32_t rate = 0;
  size_t leadIn = 0;   // zero samples before the data
  size_t dataEnd = 0;  // first sample after the last symbol
  std::vector<DkSymbol> symbols;
  size_t SymbolSample(size_t k) const { return leadIn + DkSymbolStart(k, rate); }
  std::vector<uint8_t> Values() const {
    std::vector<uint8_t> v;
    for (const auto& s : symbols) v.push_back(s.value);
    return v;
  }
};

// Fails (ok false) unless every symbol is a clean full-scale carrier at one of
// the 16 phases and nothing but zeros follows the data.
inline DkSignal DemodulateDisklavier(const std::vector<int16_t>& x, uint32_t rate) {
  DkSignal out;
  out.rate = rate;
  while (out.leadIn < x.size() && x[out.leadIn] == 0) ++out.leadIn;
  const size_t lead = out.leadIn;
  const uint64_t period = rate / std::gcd<uint64_t>(rate, 6300);  // keeps sin() arguments exact
  const double w = 2.0 * M_PI * 6300.0 / rate;
  uint32_t prev = kDkFirstPhase;
  for (size_t k = 0; lead + DkSymbolStart(k + 1, rate) <= x.size(); ++k) {
    const size_t a = lead + DkSymbolStart(k, rate), b = lead + DkSymbolStart(k + 1, rate);
    if (std::all_of(x.begin() + a, x.begin() + b, [](int16_t v) { return v == 0; })) break;
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;  // fit y = p sin(wn) + q cos(wn)
    for (size_t n = a; n < b; ++n) {
      const double t = w * static_cast<double>((n - lead) % period);
      const double sn = std::sin(t), cn = std::cos(t);
      ss += sn * sn, cc += cn * cn, sc += sn * cn, ys += x[n] * sn, yc += x[n] * cn;
    }
    const double det = ss * cc - sc * sc;
    const double p = (ys * cc - yc * sc) / det, q = (yc * ss - ys * sc) / det;
    double phi = std::atan2(q, p);
    if (phi < 0) phi += 2 * M_PI;
    const long step = std::lround(phi / (M_PI / 8));
    if (std::fabs(std::hypot(p, q) - 8192) > 4 || std::fabs(phi - step * M_PI / 8) > 0.01) {
      out.error = "distorted symbol " + std::to_string(k);
      return out;
    }
    DkSymbol s;
    s.phase = static_cast<uint8_t>(step % 16);
    const uint32_t increment = (s.phase + 16 - prev) % 16;
    s.value =
        static_cast<uint8_t>(std::find(kDkIncrement, kDkIncrement + 16, increment) - kDkIncrement);
    prev = s.phase;
    out.symbols.push_back(s);
  }
  out.dataEnd = lead + DkSymbolStart(out.symbols.size(), rate);
  if (out.symbols.empty()) out.error = "no data";
  for (size_t n = out.dataEnd; n < x.size() && out.error.empty(); ++n) {
    if (x[n] != 0) out.error = "signal after the data at " + std::to_string(n);
  }
  out.ok = out.error.empty();
  return out;
}

// One unit of the stream: a byte (two symbols) or, after the program-change
// escape C4, a single channel symbol. Idle symbols (15) only stand where a
// byte would start: no byte sent has a high nibble of 15.
struct DkItem {
  uint8_t value = 0;
  size_t symbol = 0;  // its first symbol
  size_t end = 0;     // one past its last symbol
};

inline std::vector<DkItem> DkBytes(const std::vector<DkSymbol>& s) {
  std::vector<DkItem> items;
  for (size_t k = 0; k + 1 < s.size();) {
    if (s[k].value == 15) {
      ++k;
      continue;
    }
    const auto byte = static_cast<uint8_t>(s[k].value << 4 | s[k + 1].value);
    items.push_back({byte, k, k + 2});
    k += 2;
    if (byte == 0xC4 && k < s.size()) items.push_back({s[k].value, k, k + 1}), ++k;
  }
  return items;
}

enum class DkKind { kChannel, kSysEx, kProgram, kStray };

struct DkMessage {
  DkKind kind = DkKind::kStray;
  // kChannel: status and data; kSysEx: the bytes between C0 and C7;
  // kProgram: channel, program, the repeated data byte; kStray: one byte.
  std::vector<uint8_t> bytes;
  size_t firstSymbol = 0;
  size_t endSymbol = 0;
};

inline std::vector<DkMessage> DkMessages(const std::vector<DkItem>& items) {
  std::vector<DkMessage> out;
  for (size_t i = 0; i < items.size();) {
    DkMessage m;
    m.firstSymbol = items[i].symbol;
    const uint8_t b = items[i].value;
    size_t j = i + 1;
    if (b == 0xC0) {
      m.kind = DkKind::kSysEx;
      while (j < items.size() && items[j].value != 0xC7) m.bytes.push_back(items[j++].value);
      j = std::min(j + 1, items.size());
    } else if (b == 0xC4 && i + 3 < items.size()) {
      m.kind = DkKind::kProgram;
      for (; j <= i + 3; ++j) m.bytes.push_back(items[j].value);
    } else if (b >= 0x80 && b < 0xF0 && (b & 0xF0) != 0xC0) {
      m.kind = DkKind::kChannel;
      m.bytes.push_back(b);
      const size_t need = (b & 0xF0) == 0xD0 ? 1 : 2;
      while (m.bytes.size() <= need && j < items.size() && items[j].value < 0x80) {
        m.bytes.push_back(items[j++].value);
      }
    } else {
      m.bytes.push_back(b);
    }
    m.endSymbol = items[j - 1].end;
    out.push_back(m);
    i = j;
  }
  return out;
}

// `values` rendered frame by frame: each frame lays the 21 symbols' two-cycle
// tables end to end and is read every 160 (44.1 kHz) or 147 (48 kHz) points;
// `lead` zeros before, `trail` zeros after.
inline std::vector<int16_t> DkReferenceSignal(const std::vector<uint8_t>& values, size_t lead,
                                              uint32_t rate, size_t trail) {
  std::vector<std::vector<int16_t>> tables(16, std::vector<int16_t>(2240));
  for (int k = 0; k < 16; ++k) {
    for (int i = 0; i < 2240; ++i) {
      tables[k][i] = static_cast<int16_t>(
          8192.0 * std::sin(2.0 * M_PI * (i % 1120) / 1120.0 + k * M_PI / 8.0));
    }
  }
  std::vector<int16_t> out(lead, 0), buffer(47040);
  uint32_t phase = kDkFirstPhase;
  for (size_t f = 0; f + 21 <= values.size(); f += 21) {
    for (size_t s = 0; s < 21; ++s) {
      phase = (phase + kDkIncrement[values[f + s]]) % 16;
      std::copy(tables[phase].begin(), tables[phase].end(), buffer.begin() + s * 2240);
    }
    for (size_t j = 0; j < buffer.size(); j += rate == 48000 ? 147 : 160) out.push_back(buffer[j]);
  }
  out.insert(out.end(), trail, 0);
  return out;
}

}  // namespace tonvelo::test
