#include "decoders/stream_message.h"

#include <algorithm>
#include <cstdio>

namespace tonvelo {

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string text;
  char hex[4];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", b);
    text += hex;
  }
  return text;
}

void AddChannelEvent(const StreamMessage& m, uint32_t sampleRateHz, DecodedTrack& track) {
  if (m.bytes.empty() || m.bytes[0] < 0x80 || m.bytes[0] >= 0xF0) return;
  DecodedEvent ev;
  ev.timeSeconds = static_cast<double>(m.startSample) / sampleRateHz;
  ev.status = m.bytes[0];
  ev.data1 = m.bytes.size() > 1 ? m.bytes[1] : 0;
  ev.data2 = m.bytes.size() > 2 ? m.bytes[2] : 0;
  track.events.push_back(ev);
}

void AddIssue(double timeSeconds, std::string text, DecodedTrack& track) {
  track.errors.push_back({timeSeconds, std::move(text)});
}

double StreamValidity(size_t messages, size_t errors) {
  if (messages == 0) return 0.0;
  return std::max(0.0, 1.0 - static_cast<double>(errors) / static_cast<double>(messages));
}

}  // namespace tonvelo
