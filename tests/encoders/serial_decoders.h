#pragma once
// Test-side receivers for the MIDI-serial and PianoDisc data signals. They
// share nothing with the encoders: symbols are recovered from the waveform
// alone (lobe and half-cycle lengths between sign changes), then framed and
// parsed as the pianos' receivers would.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tonvelo::test {

// A run of same-signed samples; zeros inside it do not end it, but a gap of
// more than 8 silent samples does.
struct Lobe {
  uint32_t start;   // first nonzero sample
  uint32_t length;  // up to the next lobe's first sample (or past the last nonzero)
};

inline std::vector<Lobe> FindLobes(const std::vector<int16_t>& x) {
  std::vector<Lobe> lobes;
  int sign = 0;
  uint32_t lastNonzero = 0;
  for (uint32_t i = 0; i < x.size(); ++i) {
    if (x[i] == 0) continue;
    const int s = x[i] > 0 ? 1 : -1;
    const bool gap = i - lastNonzero > 8;
    if (s != sign || gap) {
      if (!lobes.empty()) lobes.back().length = (gap ? lastNonzero + 1 : i) - lobes.back().start;
      lobes.push_back({i, 0});
      sign = s;
    }
    lastNonzero = i;
  }
  if (!lobes.empty()) lobes.back().length = lastNonzero + 1 - lobes.back().start;
  return lobes;
}

// Bytes as "F0 7E 7F", so expected streams read and compare as text.
inline std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, s.empty() ? "%02X" : " %02X", v);
    s += b;
  }
  return s;
}

// ---- MIDI-serial: pulse = 0, sine cycle (two half lobes) = 1, two-unit pulse = 2 ----

struct Symbol {
  uint8_t value;  // 0, 1, 2; 9 for a stray half cycle
  uint32_t start;
};

inline std::vector<Symbol> SerialSymbols(const std::vector<int16_t>& x, double unitSamples) {
  std::vector<Symbol> out;
  bool halfPending = false;
  uint32_t halfStart = 0;
  for (const Lobe& l : FindLobes(x)) {
    if (l.length < 0.75 * unitSamples) {
      if (halfPending) out.push_back({1, halfStart});
      halfPending = !halfPending;
      halfStart = l.start;
      continue;
    }
    if (halfPending) out.push_back({9, halfStart});
    halfPending = false;
    out.push_back({static_cast<uint8_t>(l.length < 1.5 * unitSamples ? 0 : 2), l.start});
  }
  return out;
}

struct SerialMessage {
  int syncs;  // 3 full message, 1 note, 0 chained one-byte note, -1 stray symbol
  uint32_t start;
  std::vector<uint8_t> bytes;
};

inline std::vector<SerialMessage> ParseSerial(const std::vector<Symbol>& s) {
  std::vector<SerialMessage> out;
  size_t i = 0;
  // Eight symbols into a byte; a sync symbol interrupts (returns false).
  auto readByte = [&](uint8_t& b) {
    b = 0;
    for (int k = 0; k < 8; ++k, ++i) {
      if (i >= s.size() || s[i].value > 1) return false;
      b = static_cast<uint8_t>(b << 1 | s[i].value);
    }
    return true;
  };
  bool chain = false;
  uint8_t b, n;
  while (i < s.size()) {
    SerialMessage m{0, s[i].start, {}};
    if (s[i].value == 2) {
      while (i < s.size() && s[i].value == 2) ++m.syncs, ++i;
      chain = false;
      if (m.syncs == 1 && readByte(b) && readByte(n)) {
        m.bytes = {b, n}, chain = true;
      } else if (m.syncs == 3 && readByte(b) && b >= 0x80) {
        m.bytes.push_back(b);
        const int need = b == 0xF0 ? -1 : ((b & 0xE0) == 0xC0) ? 1 : 2;
        for (int k = 0; (need < 0 ? m.bytes.back() != 0xF7 : k < need) && readByte(b); ++k) {
          m.bytes.push_back(b);
        }
      }
      out.push_back(m);
    } else if (chain) {
      // A byte of eight idle symbols ends the chain; any other is a chained note.
      if (!readByte(b)) continue;
      if (b >> 4 == 0)
        chain = false;
      else
        out.push_back({0, m.start, {b}});
    } else if (s[i++].value != 0) {
      out.push_back({-1, m.start, {}});
    }
  }
  return out;
}

// "3:F0 7E | 1:08 3C": sync count and bytes of each message.
inline std::string SerialText(const std::vector<SerialMessage>& msgs) {
  std::string s;
  for (const auto& m : msgs)
    s += (s.empty() ? "" : " | ") + std::to_string(m.syncs) + ":" + Hex(m.bytes);
  return s;
}

// ---- PianoDisc: long half-cycle = 0, short = 1; start 1, 8 bits, stops ----

struct DiscByte {
  uint8_t value;
  uint32_t start;      // sample of the start half-cycle
  uint32_t halfCycle;  // index of the start half-cycle
  bool badStop = false;
};

inline std::vector<DiscByte> DiscBytes(const std::vector<int16_t>& x, double unitSamples,
                                       bool stopBits) {
  const std::vector<Lobe> h = FindLobes(x);
  auto bit = [&](size_t k) { return h[k].length < 0.75 * unitSamples ? 1 : 0; };
  std::vector<DiscByte> out;
  for (size_t k = 0; k + 9 <= h.size();) {
    if (bit(k) == 0) {
      ++k;
      continue;
    }
    DiscByte b{0, h[k].start, static_cast<uint32_t>(k)};
    for (size_t j = 1; j <= 8; ++j) b.value = static_cast<uint8_t>(b.value << 1 | bit(k + j));
    k += 9;
    if (stopBits) {
      b.badStop = k + 2 > h.size() || bit(k) || bit(k + 1);
      k += 2;
    }
    out.push_back(b);
  }
  return out;
}

struct DiscMessage {
  uint32_t start;
  uint8_t status;
  bool statusSent;  // false: running status
  std::vector<uint8_t> data;
};

inline std::vector<DiscMessage> ParseDisc(const std::vector<DiscByte>& bytes) {
  std::vector<DiscMessage> out;
  uint8_t running = 0;
  for (size_t i = 0; i < bytes.size();) {
    DiscMessage m{bytes[i].start, running, false, {}};
    if (bytes[i].value >= 0x80) {
      m.status = bytes[i++].value;
      m.statusSent = true;
      if (m.status != 0xF0) running = m.status;
    }
    const int need = m.status == 0xF0 ? -1 : ((m.status & 0xE0) == 0xC0) ? 1 : 2;
    for (int k = 0;
         i < bytes.size() && (need < 0 ? m.data.empty() || m.data.back() != 0xF7 : k < need); ++k) {
      m.data.push_back(bytes[i++].value);
    }
    out.push_back(m);
  }
  return out;
}

// "90 3C 40 | (90) 3E 40": a running status in parentheses.
inline std::string DiscText(const std::vector<DiscMessage>& msgs) {
  std::string s;
  for (const auto& m : msgs) {
    std::string status = Hex({m.status});
    s += (s.empty() ? "" : " | ") + (m.statusSent ? status : "(" + status + ")");
    if (!m.data.empty()) s += " " + Hex(m.data);
  }
  return s;
}

}  // namespace tonvelo::test
