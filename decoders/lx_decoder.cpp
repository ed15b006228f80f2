#include "decoders/lx_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "decoders/dc_offset.h"
#include "encoders/lx/lx_format.h"

namespace tonvelo {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kTimingSearchBits = 400;
constexpr uint32_t kTimingSteps = 32;

// What one bit period holds: its correlation with the flat-top pulse and
// with the sine cycle. The four waveforms are +pulse (0 after a 1), -pulse
// (1 after a 0), +sine (1 after a 1) and -sine (0 after a 0), so every bit
// reads on its own.
struct BitReading {
  double pulse = 0, sine = 0;
  uint8_t Bit() const {
    if (std::fabs(pulse) > std::fabs(sine)) return pulse < 0 ? 1 : 0;
    return sine > 0 ? 1 : 0;
  }
  double Strength() const { return std::max(std::fabs(pulse), std::fabs(sine)); }
};

class BitReader {
 public:
  BitReader(const int16_t* s, size_t n, uint32_t rate)
      : s_(s), n_(n), period_(static_cast<double>(rate) / kLXBitsPerSecond) {}

  double Period() const { return period_; }
  // Bit k of a stream whose first bit starts at sample position t0.
  BitReading Read(double t0, uint64_t k) const {
    BitReading r;
    const double from = t0 + static_cast<double>(k) * period_;
    const auto first = static_cast<int64_t>(std::ceil(from));
    const auto last = static_cast<int64_t>(std::ceil(from + period_));
    for (int64_t i = std::max<int64_t>(first, 0); i < last && i < static_cast<int64_t>(n_); ++i) {
      const double u = (static_cast<double>(i) - from) / period_;
      const double sn = std::sin(2 * kPi * u);
      const double pulse = u < 0.25 ? sn : (u <= 0.75 ? 1.0 : -sn);
      r.pulse += s_[i] * pulse;
      r.sine += s_[i] * sn;
    }
    return r;
  }
  bool Covers(double t0, uint64_t k) const {
    return t0 + static_cast<double>(k + 1) * period_ <= static_cast<double>(n_);
  }

 private:
  const int16_t* s_;
  size_t n_;
  double period_;
};

// The signal starts with a sample of 0 (both waveforms start at 0), so the
// first bit begins about one sample before the first non-zero one; the
// exact start is where the bits read most clearly.
double FindBitTiming(const BitReader& reader, size_t firstNonZero) {
  double best = 0, bestStrength = -1;
  for (uint32_t j = 0; j <= kTimingSteps; ++j) {
    const double t0 =
        static_cast<double>(firstNonZero) - reader.Period() * j / static_cast<double>(kTimingSteps);
    double strength = 0;
    for (uint64_t k = 0; k < kTimingSearchBits && reader.Covers(t0, k); ++k) {
      strength += reader.Read(t0, k).Strength();
    }
    if (strength > bestStrength) {
      bestStrength = strength;
      best = t0;
    }
  }
  return best;
}

uint32_t Crc32Reflected(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b) crc = (crc & 1) != 0 ? (crc >> 1) ^ kLXCrc32Polynomial : crc >> 1;
  }
  return ~crc;
}

uint32_t CrcMsbFirst(const uint8_t* p, size_t n) {
  uint32_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(p[i]) << 24;
    for (int b = 0; b < 8; ++b) {
      crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ kLXCrcSePolynomial : crc << 1;
    }
  }
  return crc;
}

uint8_t Lo8(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }

// Undoes the mode's scrambler. Its registers hold the received bytes (and,
// in the two-stage mode, the first stage's output), so after at most eight
// bytes the receiver is in step whatever the sender's seed was.
std::vector<uint8_t> Descramble(const std::vector<uint8_t>& in, uint32_t mode) {
  std::vector<uint8_t> out(in.size());
  uint32_t s1 = 0, s2 = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const uint8_t r = in[i];
    if (mode == LX_MODE_LX) {
      const uint8_t a = r ^ Lo8((s2 >> 18) ^ (s2 >> 14) ^ (s2 >> 9) ^ s2);
      s2 = (s2 >> 8) | (static_cast<uint32_t>(r) << 24);
      out[i] = a ^ Lo8((s1 >> 21) ^ (s1 >> 19) ^ (s1 >> 10) ^ (s1 >> 3) ^ s1);
      s1 = (s1 >> 8) | (static_cast<uint32_t>(a) << 24);
    } else if (mode == LX_MODE_SE_TAPE) {
      out[i] = r ^ Lo8((s1 >> 24) ^ (s1 >> 15) ^ (s1 >> 8));
      s1 = (s1 << 8) | r;
    } else {
      out[i] = r ^ Lo8((s1 >> 24) ^ (s1 >> 21) ^ (s1 >> 14) ^ (s1 >> 5) ^ (s1 >> 3));
      s1 = (s1 << 8) | r;
    }
  }
  return out;
}

std::vector<uint8_t> PackBytes(const std::vector<uint8_t>& bits, uint32_t skip, bool lsbFirst) {
  std::vector<uint8_t> bytes;
  bytes.reserve(bits.size() / 8);
  for (size_t i = skip; i + 8 <= bits.size(); i += 8) {
    uint8_t b = 0;
    for (int j = 0; j < 8; ++j) {
      if (bits[i + j] != 0) b |= static_cast<uint8_t>(lsbFirst ? 1 << j : 0x80 >> j);
    }
    bytes.push_back(b);
  }
  return bytes;
}

uint16_t Field16(const uint8_t* p, bool littleEndian) {
  return static_cast<uint16_t>(littleEndian ? p[0] | p[1] << 8 : p[0] << 8 | p[1]);
}

// Frames of one mode in a descrambled stream, each found by its sync word
// and a plausible length; a frame that passes its check is skipped whole.
std::vector<LXFrameRecord> FindFrames(const std::vector<uint8_t>& d, uint32_t mode) {
  const LXModeInfo& info = kLXModes[mode];
  std::vector<LXFrameRecord> frames;
  size_t j = 0;
  while (j + info.headerBytes + 48 + kLXCrcBytes <= d.size()) {
    if (!std::equal(info.sync, info.sync + kLXSyncBytes, d.begin() + static_cast<ptrdiff_t>(j))) {
      ++j;
      continue;
    }
    const uint16_t length = Field16(&d[j + 4], info.littleEndian);
    const size_t total = kLXSyncBytes + 2 + length + kLXCrcBytes;
    if (length < info.lengthBase || length > info.lengthBase + kLXQueueBytes ||
        j + total > d.size()) {
      ++j;
      continue;
    }
    LXFrameRecord f;
    f.streamOffset = static_cast<uint32_t>(j);
    f.lengthField = length;
    f.bytes.assign(d.begin() + static_cast<ptrdiff_t>(j),
                   d.begin() + static_cast<ptrdiff_t>(j + total));
    const uint8_t* p = f.bytes.data();
    const size_t covered = 2 + length;
    const uint8_t* check = p + kLXSyncBytes + covered;
    if (info.littleEndian) {
      const uint32_t crc = Crc32Reflected(p + kLXSyncBytes, covered);
      f.crcOk = check[0] == Lo8(crc) && check[1] == Lo8(crc >> 8) && check[2] == Lo8(crc >> 16) &&
                check[3] == Lo8(crc >> 24);
      f.blockNumber = Field16(p + 8, true);
      f.positionField = Field16(p + 10, true);
    } else {
      const uint32_t crc = CrcMsbFirst(p + kLXSyncBytes, covered);
      f.crcOk = check[0] == Lo8(crc >> 24) && check[1] == Lo8(crc >> 16) &&
                check[2] == Lo8(crc >> 8) && check[3] == Lo8(crc);
      f.crcOk = f.crcOk && p[6] == info.tag[0] && p[7] == info.tag[1];
      f.positionField = Field16(p + 8, false);
      f.blockNumber = Field16(p + 10, false);
    }
    j += f.crcOk ? total : 1;
    frames.push_back(std::move(f));
  }
  return frames;
}

size_t GoodFrames(const std::vector<LXFrameRecord>& frames) {
  return static_cast<size_t>(
      std::count_if(frames.begin(), frames.end(), [](const LXFrameRecord& f) { return f.crcOk; }));
}

std::string Describe(const char* what, uint32_t value) {
  char text[96];
  std::snprintf(text, sizeof text, what, value);
  return text;
}

// Note records of one queue; false when a record runs past its end.
bool ParseQueue(const uint8_t* q, size_t n, uint32_t block, std::vector<LXNoteRecord>& notes) {
  size_t i = 0;
  while (i < n) {
    if (i + 2 > n) return false;
    LXNoteRecord rec;
    rec.block = block;
    rec.tick = q[i];
    const uint8_t code = q[i + 1];
    rec.key = code & 0x7F;
    rec.on = (code & 0x80) != 0;
    i += 2;
    if (rec.on && rec.key != kLXSostenutoKey) {
      if (i >= n) return false;
      if (q[i] >= 1 && q[i] <= 3) {
        if (i + 2 > n) return false;
        rec.strike = static_cast<uint16_t>(q[i] << 8 | q[i + 1]);
        i += 2;
      } else {
        rec.strike = q[i++];
      }
    }
    notes.push_back(rec);
  }
  return true;
}

}  // namespace

uint8_t LXVelocityFromStrike(uint8_t key, uint16_t strike) {
  if (strike == 0) return 127;
  const double v = 46 - (key - 60) / 7.0 + 41.5 * std::log2(128.0 / strike);
  return static_cast<uint8_t>(std::clamp(std::lround(v), 1L, 127L));
}

DecodedTrack DecodeLXDetailed(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                              LXDecodeDetail& detail) {
  detail = LXDecodeDetail{};
  DecodedTrack track;
  if (samples == nullptr || sampleRateHz == 0) return track;
  std::vector<int16_t> offsetFree;
  samples = WithoutDcOffset(samples, count, offsetFree);
  // The signal starts at its first sample well above a lossy copy's hiss and
  // pre-echo.
  int peak = 0;
  for (size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(int{samples[i]}));
  size_t first = 0;
  while (first < count && std::abs(int{samples[first]}) <= peak / 4) ++first;
  if (first == count) return track;

  // Bits until the signal stops (the tail is silent).
  const BitReader reader(samples, count, sampleRateHz);
  double t0 = FindBitTiming(reader, first);
  double typical = 0;
  for (uint64_t k = 0; k < 64 && reader.Covers(t0, k); ++k) {
    typical = std::max(typical, reader.Read(t0, k).Strength());
  }
  // An MP3's pre-echo can lift the silence just before the stream above the
  // start threshold: the weak readings it gives are not bits yet.
  uint64_t echo = 0;
  while (echo < 64 && reader.Covers(t0, echo) && reader.Read(t0, echo).Strength() < typical * 0.2)
    ++echo;
  t0 += static_cast<double>(echo) * reader.Period();
  std::vector<uint8_t> bits;
  for (uint64_t k = 0; reader.Covers(t0, k); ++k) {
    const BitReading r = reader.Read(t0, k);
    if (r.Strength() < typical * 0.2) break;
    bits.push_back(r.Bit());
  }

  // Whichever mode and byte alignment gives the most good frames.
  uint32_t bestSkip = 0;
  for (uint32_t mode = 0; mode < kLXModeCount; ++mode) {
    for (uint32_t skip = 0; skip < 8; ++skip) {
      auto frames =
          FindFrames(Descramble(PackBytes(bits, skip, kLXModes[mode].littleEndian), mode), mode);
      if (GoodFrames(frames) > GoodFrames(detail.frames)) {
        detail.frames = std::move(frames);
        detail.mode = static_cast<int>(mode);
        bestSkip = skip;
      }
    }
  }
  if (detail.mode < 0) return track;
  const LXModeInfo& info = kLXModes[static_cast<uint32_t>(detail.mode)];
  const double bytePeriod = 8 * reader.Period();
  const double startSamples = t0 + bestSkip * reader.Period();
  for (LXFrameRecord& f : detail.frames) {
    f.timeSeconds = (startSamples + f.streamOffset * bytePeriod) / sampleRateHz;
  }
  detail.leaderBytes = detail.frames.front().streamOffset;

  track.family = SignalFamily::kLX;
  track.formatId = detail.mode == LX_MODE_LX ? 0 : detail.mode == LX_MODE_SE_TAPE ? 1 : 6;
  track.dataChannel = 1;  // the family sends on the right
  track.dataStartSeconds = startSamples / sampleRateHz;
  track.dataEndSeconds = (t0 + static_cast<double>(bits.size()) * reader.Period()) / sampleRateHz;
  track.unitsDecoded = static_cast<uint32_t>(detail.frames.size());
  track.confidence =
      static_cast<double>(GoodFrames(detail.frames)) / static_cast<double>(detail.frames.size());

  // Each block from its first good copy; block numbers count on across wraps.
  const double origin = track.dataStartSeconds + info.accompanimentDelaySeconds;
  const auto tickTime = [&](uint32_t block, uint32_t tick) {
    return origin + (static_cast<double>(block) * kLXTicksPerBlock + tick) / kLXTicksPerSecond;
  };
  uint32_t seq = 0;
  bool any = false;
  uint16_t lastNumber = 0;
  uint8_t sustainValue = 0, softValue = 0;
  for (const LXFrameRecord& f : detail.frames) {
    if (!f.crcOk) {
      track.errors.push_back({f.timeSeconds, "frame check failed"});
      continue;
    }
    if (any && f.blockNumber == lastNumber) {
      ++detail.blocks.back().copies;
      continue;
    }
    const uint32_t next = any ? seq + static_cast<uint16_t>(f.blockNumber - lastNumber) : 0;
    if (any && next != seq + 1) {
      track.errors.push_back({f.timeSeconds, Describe("%u block(s) lost", next - seq - 1)});
    }
    seq = next;
    any = true;
    lastNumber = f.blockNumber;

    LXBlockRecord block;
    block.block = seq;
    block.copies = 1;
    const uint8_t* levels = f.bytes.data() + info.headerBytes;
    for (uint32_t i = 0; i < 32; ++i) {
      block.sustain[i] = (i & 1) != 0 ? static_cast<uint8_t>(~levels[i]) : levels[i];
    }
    for (uint32_t i = 0; i < 16; ++i) {
      block.soft[i] = (i & 1) != 0 ? static_cast<uint8_t>(~levels[32 + i]) : levels[32 + i];
    }
    detail.blocks.push_back(block);
    for (uint32_t i = 0; i < 32; ++i) {
      const auto v = static_cast<uint8_t>(block.sustain[i] >> 1);
      if (v != sustainValue) track.events.push_back({tickTime(seq, 8 * i), 0xB0, 64, v});
      sustainValue = v;
    }
    for (uint32_t i = 0; i < 16; ++i) {
      const auto v = static_cast<uint8_t>(block.soft[i] >> 1);
      if (v != softValue) track.events.push_back({tickTime(seq, 16 * i), 0xB0, 67, v});
      softValue = v;
    }

    const size_t queueStart = info.headerBytes + 48;
    const size_t queueBytes = f.lengthField - info.lengthBase;
    const size_t before = detail.notes.size();
    if (!ParseQueue(f.bytes.data() + queueStart, queueBytes, seq, detail.notes)) {
      track.errors.push_back({f.timeSeconds, Describe("broken note record in block %u", seq)});
    }
    for (size_t k = before; k < detail.notes.size(); ++k) {
      const LXNoteRecord& n = detail.notes[k];
      const double t = tickTime(n.block, n.tick);
      if (n.key == kLXSostenutoKey) {
        track.events.push_back({t, 0xB0, 66, static_cast<uint8_t>(n.on ? 127 : 0)});
      } else if (n.on) {
        track.events.push_back({t, 0x90, n.key, LXVelocityFromStrike(n.key, n.strike)});
      } else {
        track.events.push_back({t, 0x80, n.key, 0});
      }
    }
  }
  std::stable_sort(
      track.events.begin(), track.events.end(),
      [](const DecodedEvent& a, const DecodedEvent& b) { return a.timeSeconds < b.timeSeconds; });
  return track;
}

DecodedTrack DecodeLX(const int16_t* samples, size_t count, uint32_t sampleRateHz) {
  LXDecodeDetail detail;
  return DecodeLXDetailed(samples, count, sampleRateHz, detail);
}

}  // namespace tonvelo
