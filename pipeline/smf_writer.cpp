#include "pipeline/smf_writer.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "audio/byte_file.h"

namespace tonvelo {

namespace {

void PutBig(std::vector<uint8_t>& out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutVariable(std::vector<uint8_t>& out, uint32_t value) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = value & 0x7F;
    value >>= 7;
  } while (value != 0);
  while (n-- > 0) out.push_back(static_cast<uint8_t>(groups[n] | (n > 0 ? 0x80 : 0)));
}

}  // namespace

std::vector<uint8_t> BuildSmf(const std::vector<DecodedEvent>& events) {
  const double ticksPerSecond = kSmfTicksPerQuarter * 1e6 / kSmfMicrosPerQuarter;
  std::vector<uint8_t> track;
  PutVariable(track, 0);
  track.insert(track.end(), {0xFF, 0x51, 0x03});
  PutBig(track, kSmfMicrosPerQuarter, 3);
  uint32_t lastTick = 0;
  for (const DecodedEvent& e : events) {
    if (e.status < 0x80 || e.status >= 0xF0) continue;
    const double t = std::max(0.0, e.timeSeconds) * ticksPerSecond;
    const auto tick = std::max(lastTick, static_cast<uint32_t>(std::lround(t)));
    PutVariable(track, tick - lastTick);
    lastTick = tick;
    track.push_back(e.status);
    track.push_back(e.data1 & 0x7F);
    const uint8_t kind = e.status & 0xF0;
    if (kind != 0xC0 && kind != 0xD0) track.push_back(e.data2 & 0x7F);
  }
  track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});

  std::vector<uint8_t> file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1};
  PutBig(file, kSmfTicksPerQuarter, 2);
  file.insert(file.end(), {'M', 'T', 'r', 'k'});
  PutBig(file, static_cast<uint32_t>(track.size()), 4);
  file.insert(file.end(), track.begin(), track.end());
  return file;
}

bool WriteFileAtomically(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::filesystem::path part = path;
  part += ".part";
  FileHandle f = kInvalidFile;
  if (!file_open_write(part, f)) return false;
  const bool written = file_write(f, bytes.data(), bytes.size());
  const bool closed = file_close(f);
  std::error_code ec;
  if (written && closed) {
    std::filesystem::rename(part, path, ec);
    if (!ec) return true;
  }
  std::filesystem::remove(part, ec);
  return false;
}

}  // namespace tonvelo
