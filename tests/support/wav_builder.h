#pragma once
// Writes small PCM WAV files for tests, independently of the product's own
// writer, so that reader tests do not trust the code they check.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/midi_builder.h"

namespace tonvelo::test {

inline void PutLE(Bytes& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Interleaved 16-bit samples; channels 1 or 2.
inline Bytes BuildWav16(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples) {
  Bytes out = {'R', 'I', 'F', 'F'};
  const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
  PutLE(out, 36 + dataBytes, 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLE(out, 16, 4);
  PutLE(out, 1, 2);
  PutLE(out, channels, 2);
  PutLE(out, rate, 4);
  PutLE(out, rate * channels * 2, 4);
  PutLE(out, channels * 2u, 2);
  PutLE(out, 16, 2);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  PutLE(out, dataBytes, 4);
  for (int16_t s : samples) PutLE(out, static_cast<uint16_t>(s), 2);
  return out;
}

// Interleaved unsigned 8-bit samples (128 is silence); channels 1 or 2.
inline Bytes BuildWav8(uint32_t rate, uint16_t channels, const std::vector<uint8_t>& samples) {
  Bytes out = {'R', 'I', 'F', 'F'};
  const uint32_t dataBytes = static_cast<uint32_t>(samples.size());
  PutLE(out, 36 + dataBytes + (dataBytes & 1), 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLE(out, 16, 4);
  PutLE(out, 1, 2);
  PutLE(out, channels, 2);
  PutLE(out, rate, 4);
  PutLE(out, rate * channels, 4);
  PutLE(out, channels, 2);
  PutLE(out, 8, 2);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  PutLE(out, dataBytes, 4);
  out.insert(out.end(), samples.begin(), samples.end());
  if (dataBytes & 1) out.push_back(0);
  return out;
}

// Reads back a 44-byte-header 16-bit stereo WAV as written by the product.
struct StereoWav {
  uint32_t rate = 0;
  std::vector<int16_t> left, right;
};

inline bool ReadStereoWav(const std::filesystem::path& path, StereoWav& out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  Bytes b;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
  std::fclose(f);
  if (b.size() < 44) return false;
  auto le32 = [&](size_t o) { return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | uint32_t(b[o + 3]) << 24; };
  out.rate = le32(24);
  const uint32_t dataBytes = le32(40);
  if (44 + static_cast<size_t>(dataBytes) > b.size()) return false;
  out.left.clear();
  out.right.clear();
  for (size_t o = 44; o + 4 <= 44 + static_cast<size_t>(dataBytes); o += 4) {
    out.left.push_back(static_cast<int16_t>(b[o] | b[o + 1] << 8));
    out.right.push_back(static_cast<int16_t>(b[o + 2] | b[o + 3] << 8));
  }
  return true;
}

}  // namespace tonvelo::test
