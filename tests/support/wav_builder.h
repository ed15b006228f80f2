#pragma once
// Writes small PCM WAV files for tests, independently of the product's own
// writer, so that reader tests do not trust the code they check.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/midi_builder.h"

namespace tonvelo::test {

inline void PutLE(Bytes& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A canonical 44-byte header and the data chunk (padded to even length).
inline Bytes BuildWav(uint32_t rate, uint16_t channels, uint16_t bits, const Bytes& data) {
  const uint32_t size = static_cast<uint32_t>(data.size()), block = channels * bits / 8u;
  Bytes out = {'R', 'I', 'F', 'F'};
  PutLE(out, 36 + size + (size & 1), 4);
  out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0});
  for (const auto& [v, n] : {std::pair<uint32_t, int>{channels, 2}, {rate, 4}, {rate * block, 4},
                             {block, 2}, {bits, 2}})
    PutLE(out, v, n);
  out.insert(out.end(), {'d', 'a', 't', 'a'});
  PutLE(out, size, 4);
  out.insert(out.end(), data.begin(), data.end());
  if (size & 1) out.push_back(0);
  return out;
}

// Interleaved 16-bit samples; channels 1 or 2.
inline Bytes BuildWav16(uint32_t rate, uint16_t channels, const std::vector<int16_t>& samples) {
  Bytes data;
  for (int16_t s : samples) PutLE(data, static_cast<uint16_t>(s), 2);
  return BuildWav(rate, channels, 16, data);
}

// Interleaved unsigned 8-bit samples (128 is silence); channels 1 or 2.
inline Bytes BuildWav8(uint32_t rate, uint16_t channels, const std::vector<uint8_t>& samples) {
  return BuildWav(rate, channels, 8, samples);
}

// Reads back a 44-byte-header 16-bit stereo WAV as written by the product.
struct StereoWav {
  uint32_t rate = 0;
  std::vector<int16_t> left, right;
};

inline bool ReadStereoWav(const std::filesystem::path& path, StereoWav& out) {
  std::ifstream f(path, std::ios::binary);
  const Bytes b{std::istreambuf_iterator<char>(f), {}};
  if (!f.is_open() || b.size() < 44) return false;
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
