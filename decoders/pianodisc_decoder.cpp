#include "decoders/pianodisc_decoder.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "decoders/half_cycles.h"

namespace tonvelo {

namespace {

constexpr size_t kIdleBeforeStart = 4;

// Half-cycles to bytes: idle until a short half-cycle, which starts a byte.
void ReadBytes(const std::vector<HalfCycle>& h, double unit, PianoDiscDetail& d,
               DecodedTrack& track, uint32_t rate, uint32_t& bad) {
  auto isShort = [&](size_t k) { return h[k].length / unit < 0.75; };
  for (size_t k = 0; k < h.size(); ++k) {
    const double units = h[k].length / unit;
    const double nominal = units < 0.75 ? 0.5 : 1.0;
    if (h[k].gap || std::fabs(units - nominal) > 0.2) ++d.doubtfulHalfCycles;
  }
  // A start bit counts once the line has idled for a while or straight after
  // a byte: a signal's first half-cycles may be misshapen.
  size_t idle = 0;
  bool afterByte = false;
  for (size_t k = 0; k < h.size();) {
    if (h[k].gap) {
      idle = 0, afterByte = false, ++k;
      continue;
    }
    if (!isShort(k) || (idle < kIdleBeforeStart && !afterByte)) {
      if (h[k].length / unit > 1.5) ++bad;
      idle = isShort(k) ? 0 : idle + 1;
      ++k;
      continue;
    }
    PianoDiscByte b;
    b.startSample = SampleAt(h[k].start);
    b.halfCycle = static_cast<uint32_t>(k);
    size_t j = k + 1;
    for (; j <= k + 8 && j < h.size(); ++j) {
      b.value = static_cast<uint8_t>(b.value << 1 | (isShort(j) ? 1 : 0));
      if (h[j].gap && j < k + 8) break;
    }
    if (j < k + 9) {
      AddIssue(h[k].start / rate, "byte cut short", track);
      bad += static_cast<uint32_t>(j - k);
      k = j;
      continue;
    }
    if (!d.bytes.empty()) {
      d.bytes.back().stopCycles = static_cast<uint32_t>(k - (d.bytes.back().halfCycle + 9));
    }
    d.bytes.push_back(b);
    k = j;
    idle = 0, afterByte = true;
  }
  if (!d.bytes.empty()) {
    d.bytes.back().stopCycles =
        static_cast<uint32_t>(std::min<size_t>(h.size() - (d.bytes.back().halfCycle + 9), 2));
  }
}

// Bytes to messages under running status; a system exclusive message leaves
// the running status as it was.
void ReadMessages(PianoDiscDetail& d, uint32_t rate, DecodedTrack& track, uint32_t& bad) {
  const auto& bytes = d.bytes;
  uint8_t running = 0;
  size_t withStops = 0, withoutStops = 0;
  for (size_t i = 0; i < bytes.size();) {
    const size_t first = i;
    StreamMessage m;
    m.statusSent = bytes[i].value >= 0x80;
    uint8_t status = m.statusSent ? bytes[i++].value : running;
    if (status < 0x80) {
      AddIssue(static_cast<double>(bytes[first].startSample) / rate,
               "data byte " + HexBytes({bytes[first].value}) + " without a status", track);
      ++bad, ++i;
      continue;
    }
    if (status < 0xF0) running = status;
    m.bytes.push_back(status);
    const int need = status == 0xF0 ? -1 : (status & 0xE0) == 0xC0 ? 1 : status >= 0xF1 ? 0 : 2;
    bool cut = false;
    for (int k = 0; need < 0 ? m.bytes.back() != 0xF7 : k < need; ++k) {
      // A channel status ends any message; in system exclusive data only
      // F7 has a meaning.
      const uint8_t b = i < bytes.size() ? bytes[i].value : 0x80;
      if (i >= bytes.size() || (b >= 0x80 && (need >= 0 || b < 0xF0))) {
        cut = true;
        break;
      }
      m.bytes.push_back(bytes[i++].value);
    }
    if (cut) {
      AddIssue(static_cast<double>(bytes[first].startSample) / rate,
               "message " + HexBytes(m.bytes) + " cut short", track);
      bad += static_cast<uint32_t>(i - first);
      continue;
    }
    // Within a message the bytes follow each other as fast as the framing
    // allows: two stop half-cycles apart on Classic, none on Silent Drive Plus.
    for (size_t k = first; k + 1 < i; ++k) {
      withStops += bytes[k].stopCycles == 2;
      withoutStops += bytes[k].stopCycles == 0;
    }
    m.firstUnit = bytes[first].halfCycle;
    m.endUnit = bytes[i - 1].halfCycle + 9;
    m.startSample = bytes[first].startSample;
    m.endSample = i < bytes.size() ? bytes[i].startSample : m.startSample;
    AddChannelEvent(m, rate, track);
    d.messages.push_back(std::move(m));
  }
  d.classic = withStops >= withoutStops;
  if (!d.classic) return;
  for (size_t k = 0; k + 1 < bytes.size(); ++k) {
    if (bytes[k].stopCycles < 2) {
      AddIssue(static_cast<double>(bytes[k].startSample) / rate, "missing stop bits", track);
      ++bad;
    }
  }
}

}  // namespace

DecodedTrack DecodePianoDisc(const int16_t* samples, size_t count, uint32_t sampleRateHz) {
  return DecodePianoDisc(samples, count, sampleRateHz, nullptr);
}

DecodedTrack DecodePianoDisc(const int16_t* samples, size_t count, uint32_t rate,
                             PianoDiscDetail* detail) {
  DecodedTrack track;
  PianoDiscDetail local;
  PianoDiscDetail& d = detail ? *detail : local;
  d = PianoDiscDetail{};
  if (rate == 0) return track;
  const double unit = static_cast<double>(rate) / kPianoDiscBitRate;
  const std::vector<HalfCycle> h = FindHalfCycles(samples, count, unit);
  d.halfCycles = static_cast<uint32_t>(h.size());
  if (h.empty()) return track;
  uint32_t bad = 0;
  ReadBytes(h, unit, d, track, rate, bad);
  ReadMessages(d, rate, track, bad);
  std::stable_sort(
      track.errors.begin(), track.errors.end(),
      [](const DecodeIssue& a, const DecodeIssue& b) { return a.timeSeconds < b.timeSeconds; });
  const double total = static_cast<double>(h.size());
  const double worse = std::min(total, static_cast<double>(bad + d.doubtfulHalfCycles));
  track.family = SignalFamily::kPianoDisc;
  track.formatId = d.classic ? kPianoDiscClassicId : kPianoDiscSilentDrivePlusId;
  track.confidence = (total - worse) / total * std::min(1.0, total / 200.0) *
                     StreamValidity(d.messages.size(), track.errors.size());
  track.dataStartSeconds = h.front().start / rate;
  track.dataEndSeconds = (h.back().start + h.back().length) / rate;
  track.unitsDecoded = static_cast<uint32_t>(d.messages.size());
  return track;
}

}  // namespace tonvelo
