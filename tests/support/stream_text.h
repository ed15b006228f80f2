#pragma once
// Decoded MIDI streams as text, so expected streams read and compare as
// strings in the encoder tests.

#include <string>
#include <vector>

#include "decoders/stream_message.h"

namespace tonvelo::test {

// MIDI-serial: "3:F0 7E | 1:08 3C | 0:A8", the sync count and the bytes sent.
inline std::string SerialText(const std::vector<StreamMessage>& msgs) {
  std::string s;
  for (const auto& m : msgs)
    s += (s.empty() ? "" : " | ") + std::to_string(m.syncs) + ":" + HexBytes(m.bytes);
  return s;
}

// PianoDisc: "90 3C 40 | (90) 3E 40", a running status in parentheses.
inline std::string DiscText(const std::vector<StreamMessage>& msgs) {
  std::string s;
  for (const auto& m : msgs) {
    const std::string status = HexBytes({m.bytes[0]});
    s += (s.empty() ? "" : " | ") + (m.statusSent ? status : "(" + status + ")");
    if (m.bytes.size() > 1) s += " " + HexBytes({m.bytes.begin() + 1, m.bytes.end()});
  }
  return s;
}

}  // namespace tonvelo::test
