#include "decoders/pianocorder_decoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "audio/byte_file.h"
#include "decoders/dc_offset.h"
#include "readers/pianocorder_source.h"

namespace tonvelo {

namespace {

// How loud each level is, as the share of the full velocity range squared;
// the Pianocorder's level 16 lies below its level 15.
constexpr std::array<double, 32> kPianocorderLoudness{
    0.0,        0.03363279, 0.07417138, 0.10763778, 0.16361682, 0.19656626, 0.23624604, 0.26919575,
    0.28368054, 0.31593755, 0.35493348, 0.38719969, 0.440953,   0.47269317, 0.51117214, 0.54257981,
    0.49225381, 0.523652,   0.56161414, 0.59267019, 0.64504784, 0.67611352, 0.71321684, 0.74376541,
    0.75740024, 0.7877827,  0.82453468, 0.85474154, 0.90505941, 0.93457385, 0.97065195, 1.0};
// Cassette Converter levels 1..7 (index 0 unused).
constexpr std::array<double, 8> kCassetteLoudness{0.0, 0.0, 0.083, 0.173, 0.281, 0.478, 0.712, 1.0};
// Intensity holes (bit 0, 1, 2) to level; levels 4 and 7 punch the same
// holes, read as 4.
constexpr std::array<int8_t, 8> kCassetteLevelOfCode{1, 2, -1, 3, -1, 5, 6, 4};

struct Family {
  SignalFamily family;
  int formatId;     // at the nominal rate
  int halfSpeedId;  // at half of it, -1 when there is none
  int dataChannel;  // where the encoder puts it
  double nominalBitsPerSecond;
  double lowestBitsPerSecond, highestBitsPerSecond;  // accepted measurements
};

constexpr Family kPianocorderFamily{SignalFamily::kPianocorder, 2, 3, 1, 4500.0, 1900.0, 5600.0};
constexpr Family kCassetteFamily{
    SignalFamily::kCassetteConverter, 10, -1, 0, 12800.0, 11000.0, 14600.0};

// Below this share of the nominal rate a track is taken for half speed.
constexpr double kHalfSpeedBelow = 0.75;

bool Flag(const uint8_t* frame, uint32_t flag) { return (frame[flag / 8] >> (7 - flag % 8)) & 1; }

// Zero crossings, in samples with linear interpolation; the first sound
// after silence counts as one too, since a symbol starts there. Samples
// quieter than `gate` count as silence (a lossy copy's silence is a faint
// hiss).
std::vector<double> Crossings(const int16_t* s, size_t count, int gate) {
  std::vector<double> out;
  int sign = 0;
  size_t last = 0;  // index of the last sample above the gate
  size_t zeros = 0;
  for (size_t i = 0; i < count; ++i) {
    if (std::abs(s[i]) <= gate) {
      ++zeros;
      continue;
    }
    const int now = s[i] > 0 ? 1 : -1;
    if (sign == 0 || zeros >= 16) {
      if (i > 0) out.push_back(static_cast<double>(i - 1));
    } else if (now != sign) {
      const double a = s[last];
      const double b = s[i];
      out.push_back(static_cast<double>(last) + static_cast<double>(i - last) * a / (a - b));
    }
    sign = now;
    last = i;
    zeros = 0;
  }
  return out;
}

// The symbol length: the longer of the two spacings, which is the commoner
// one in these mostly-zero frames.
double EstimateUnit(const std::vector<double>& c) {
  std::vector<double> d;
  for (size_t i = 1; i < c.size() && d.size() < 8192; ++i) d.push_back(c[i] - c[i - 1]);
  if (d.size() < 16) return 0.0;
  std::sort(d.begin(), d.end());
  const double longest = d[d.size() * 9 / 10];
  std::vector<double> full;
  for (double x : d) {
    if (x > 0.75 * longest && x < 1.3 * longest) full.push_back(x);
  }
  return full.empty() ? 0.0 : full[full.size() / 2];
}

struct BitRun {
  std::vector<uint8_t> bits;
  std::vector<double> at;  // start of each bit, in samples
};

// Full spacing: a 0; two half spacings: a 1. A full spacing always ends on
// a symbol boundary, so the first one puts the reader in step.
std::vector<BitRun> ReadBits(const std::vector<double>& c, double unit) {
  std::vector<BitRun> runs(1);
  bool inStep = false;
  bool halfPending = false;
  double halfStart = 0.0;
  auto lose = [&] {
    if (!runs.back().bits.empty()) runs.emplace_back();
    inStep = false;
    halfPending = false;
  };
  auto emit = [&](uint8_t bit, double start, double length) {
    runs.back().bits.push_back(bit);
    runs.back().at.push_back(start);
    unit += (length - unit) / 16.0;  // follows a gliding rate
  };
  for (size_t i = 1; i < c.size(); ++i) {
    const double d = c[i] - c[i - 1];
    if (d > 1.6 * unit) {
      lose();
      continue;
    }
    const bool full = d > 0.75 * unit;
    if (!inStep) {
      if (full) {
        inStep = true;
        emit(0, c[i - 1], d);
      }
      continue;
    }
    if (halfPending) {
      halfPending = false;
      if (full) {  // a lone half: a symbol was lost
        lose();
        inStep = true;
        emit(0, c[i - 1], d);
      } else {
        emit(1, halfStart, c[i] - halfStart);
      }
    } else if (full) {
      emit(0, c[i - 1], d);
    } else {
      halfPending = true;
      halfStart = c[i - 1];
    }
  }
  return runs;
}

uint8_t Byte(const std::vector<uint8_t>& bits, size_t at) {
  uint8_t b = 0;
  for (size_t i = 0; i < 8; ++i) b = static_cast<uint8_t>(b << 1 | bits[at + i]);
  return b;
}

// The bits every frame of the family carries whatever it says.
bool ConstantsHold(SignalFamily family, const uint8_t* f) {
  if (family == SignalFamily::kPianocorder) {
    return f[14] == 0x00 && f[15] == 0xFD && f[1] == 0 && f[7] == 0 && (f[0] & 0x20) == 0;
  }
  return f[0] == 0x20 && (f[1] & 0x4E) == 0 && (f[2] & 0x80) != 0 && (f[12] & 0x0A) == 0x08 &&
         (f[13] & 0xCF) == 0 && f[14] == 0 && (f[15] == 0x0D || f[15] == 0x72);
}

void ReadFrames(const Family& fam, const std::vector<BitRun>& runs, uint32_t rate,
                DecodedFrames& out, DecodedTrack& track) {
  for (const BitRun& run : runs) {
    const size_t n = run.bits.size();
    size_t pos = 0;
    bool inFrame = false;
    while (pos + 128 <= n) {
      DecodedFrame frame;
      for (size_t k = 0; k < 16; ++k) frame.bytes[k] = Byte(run.bits, pos + 8 * k);
      frame.timeSeconds = run.at[pos] / rate;
      if (ConstantsHold(fam.family, frame.bytes)) {
        out.frames.push_back(frame);
        inFrame = true;
        pos += 128;
        continue;
      }
      if (inFrame) {
        track.errors.push_back(
            {frame.timeSeconds, "frame constants broken; searching for the next frame"});
        inFrame = false;
      }
      ++pos;
    }
  }
}

// The rate most frames were sent at; a replay glides to it in its first
// second, so the first estimate may lie anywhere on the way.
double MedianBitsPerSecond(const DecodedFrames& frames, double estimate) {
  std::vector<double> periods;
  const double usual = 128.0 / estimate;
  for (size_t i = 1; i < frames.frames.size(); ++i) {
    const double d = frames.frames[i].timeSeconds - frames.frames[i - 1].timeSeconds;
    if (d > 0.5 * usual && d < 1.5 * usual) periods.push_back(d);
  }
  if (periods.empty()) return estimate;
  std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
  return 128.0 / periods[periods.size() / 2];
}

int Velocity(double loudness) {
  return std::clamp(static_cast<int>(1.0 + 126.0 * std::sqrt(loudness) + 0.5), 1, 127);
}

// Loudness of each key flag in one frame as a velocity; -1 for non-keys.
struct FrameReading {
  std::array<int, 128> velocity;  // by flag
  bool soft = false;
  bool sustain = false;
};

int PianocorderBits(const uint8_t* f, uint32_t first) {
  int v = 0;
  for (uint32_t i = 0; i < 5; ++i) v |= Flag(f, first + i) << i;
  return v;
}

FrameReading ReadPianocorder(const uint8_t* f) {
  FrameReading r;
  r.velocity.fill(-1);
  const int bass = Velocity(kPianocorderLoudness[PianocorderBits(f, 3)]);
  const int treble = Velocity(kPianocorderLoudness[PianocorderBits(f, 67)]);
  for (uint32_t k = 16; k <= 55; ++k) r.velocity[k] = bass;
  for (uint32_t k = 72; k <= 111; ++k) r.velocity[k] = treble;
  if (Flag(f, 64)) r.velocity[55] = treble;
  if (Flag(f, 65)) r.velocity[72] = r.velocity[73] = bass;
  r.soft = Flag(f, 0);
  r.sustain = Flag(f, 1);
  return r;
}

int CassetteLevel(const uint8_t* f, const uint32_t (&holes)[3]) {
  int code = 0;
  for (int i = 0; i < 3; ++i) code |= Flag(f, holes[i]) << i;
  const int level = kCassetteLevelOfCode[code];
  return level < 0 ? 1 : level;
}

FrameReading ReadCassette(const uint8_t* f) {
  static constexpr uint32_t kBass[3] = {10, 11, 15};
  static constexpr uint32_t kTreble[3] = {107, 103, 101};
  FrameReading r;
  r.velocity.fill(-1);
  const int bass = Velocity(kCassetteLoudness[CassetteLevel(f, kBass)]);
  const int treble = Velocity(kCassetteLoudness[CassetteLevel(f, kTreble)]);
  for (uint32_t k = 17; k <= 58; ++k) r.velocity[k] = bass;
  for (uint32_t k = 59; k <= 99; ++k) r.velocity[k] = treble;
  r.soft = Flag(f, 106);
  r.sustain = Flag(f, 8);
  return r;
}

int NoteOfFlag(SignalFamily family, uint32_t flag) {
  if (family == SignalFamily::kCassetteConverter) return static_cast<int>(flag) + 6;
  return flag <= 55 ? static_cast<int>(flag) + 9 : static_cast<int>(flag) - 7;
}

void FramesToEvents(const Family& fam, const DecodedFrames& frames, DecodedTrack& track) {
  std::array<bool, 128> down{};
  bool soft = false;
  bool sustain = false;
  for (const DecodedFrame& frame : frames.frames) {
    const FrameReading r = fam.family == SignalFamily::kPianocorder ? ReadPianocorder(frame.bytes)
                                                                    : ReadCassette(frame.bytes);
    const double t = frame.timeSeconds;
    if (r.sustain != sustain) track.events.push_back({t, 0xB0, 64, uint8_t(r.sustain ? 127 : 0)});
    if (r.soft != soft) track.events.push_back({t, 0xB0, 67, uint8_t(r.soft ? 127 : 0)});
    sustain = r.sustain;
    soft = r.soft;
    for (uint32_t k = 0; k < 128; ++k) {
      if (r.velocity[k] < 0) continue;
      const bool on = Flag(frame.bytes, k);
      if (on == down[k]) continue;
      down[k] = on;
      const auto note = static_cast<uint8_t>(NoteOfFlag(fam.family, k));
      if (on) {
        track.events.push_back({t, 0x90, note, static_cast<uint8_t>(r.velocity[k])});
      } else {
        track.events.push_back({t, 0x80, note, 0});
      }
    }
  }
  // Whatever is still down when the signal ends comes up with it.
  const double end = track.dataEndSeconds;
  for (uint32_t k = 0; k < 128; ++k) {
    if (down[k])
      track.events.push_back({end, 0x80, static_cast<uint8_t>(NoteOfFlag(fam.family, k)), 0});
  }
  if (sustain) track.events.push_back({end, 0xB0, 64, 0});
  if (soft) track.events.push_back({end, 0xB0, 67, 0});
}

DecodedTrack Decode(const Family& fam, const int16_t* samples, size_t count, uint32_t rate,
                    DecodedFrames* detail) {
  DecodedTrack track;
  DecodedFrames frames;
  if (samples == nullptr || rate == 0) return track;
  std::vector<int16_t> offsetFree;
  samples = WithoutDcOffset(samples, count, offsetFree);
  int peak = 0;
  for (size_t i = 0; i < count; ++i) peak = std::max(peak, std::abs(int{samples[i]}));
  const std::vector<double> crossings = Crossings(samples, count, peak / 32);
  const double unit = EstimateUnit(crossings);
  if (unit <= 0.0) return track;
  const double bitsPerSecond = rate / unit;
  if (bitsPerSecond < fam.lowestBitsPerSecond || bitsPerSecond > fam.highestBitsPerSecond) {
    return track;
  }
  const bool halfSpeed =
      fam.halfSpeedId >= 0 && bitsPerSecond < kHalfSpeedBelow * fam.nominalBitsPerSecond;
  const std::vector<BitRun> runs = ReadBits(crossings, unit);
  size_t bits = 0;
  for (const BitRun& run : runs) bits += run.bits.size();
  ReadFrames(fam, runs, rate, frames, track);
  frames.bitsPerSecond = MedianBitsPerSecond(frames, bitsPerSecond);
  if (!frames.frames.empty()) {
    const double frameSeconds = 128.0 / bitsPerSecond;
    track.family = fam.family;
    track.formatId = halfSpeed ? fam.halfSpeedId : fam.formatId;
    track.dataChannel = fam.dataChannel;
    track.unitsDecoded = static_cast<uint32_t>(frames.frames.size());
    track.confidence = std::min(1.0, 128.0 * static_cast<double>(frames.frames.size()) /
                                         static_cast<double>(std::max<size_t>(bits, 1)));
    track.dataStartSeconds = frames.frames.front().timeSeconds;
    track.dataEndSeconds = frames.frames.back().timeSeconds + frameSeconds;
    FramesToEvents(fam, frames, track);
  }
  if (detail != nullptr) *detail = std::move(frames);
  return track;
}

}  // namespace

uint8_t FrameLevelVelocity(SignalFamily family, int level) {
  if (family == SignalFamily::kPianocorder) {
    return static_cast<uint8_t>(Velocity(kPianocorderLoudness[std::clamp(level, 0, 31)]));
  }
  return static_cast<uint8_t>(Velocity(kCassetteLoudness[std::clamp(level, 1, 7)]));
}

DecodedTrack DecodePianocorder(const int16_t* samples, size_t count, uint32_t sampleRateHz) {
  return Decode(kPianocorderFamily, samples, count, sampleRateHz, nullptr);
}

DecodedTrack DecodePianocorder(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                               DecodedFrames* detail) {
  return Decode(kPianocorderFamily, samples, count, sampleRateHz, detail);
}

DecodedTrack DecodeCassetteConverter(const int16_t* samples, size_t count, uint32_t sampleRateHz) {
  return Decode(kCassetteFamily, samples, count, sampleRateHz, nullptr);
}

DecodedTrack DecodeCassetteConverter(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                                     DecodedFrames* detail) {
  return Decode(kCassetteFamily, samples, count, sampleRateHz, detail);
}

bool WritePianocorderFrames(const std::filesystem::path& path, const DecodedFrames& frames) {
  if (frames.frames.empty()) return false;
  PianocorderFile file;
  file.frameCount = static_cast<uint32_t>(frames.frames.size());
  // A half-speed track was recorded for a player running at twice the rate.
  const double speed =
      frames.bitsPerSecond < kHalfSpeedBelow * kPianocorderFamily.nominalBitsPerSecond
          ? 2 * frames.bitsPerSecond
          : frames.bitsPerSecond;
  file.speed = static_cast<uint16_t>(std::clamp(speed + 0.5, 0.0, 65535.0));
  file.frames.reserve(frames.frames.size() * kPianocorderFrameBytes);
  for (const DecodedFrame& f : frames.frames)
    file.frames.insert(file.frames.end(), f.bytes, f.bytes + 16);
  const std::vector<uint8_t> image = pianocorder_build(file);
  FileHandle h = kInvalidFile;
  if (!file_open_write(path, h)) return false;
  const bool written = file_write(h, image.data(), image.size());
  return file_close(h) && written;
}

}  // namespace tonvelo
