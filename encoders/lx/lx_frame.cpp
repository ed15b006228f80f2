// The frame layer of CMid2LX: frame check, scrambler, leader, frame layouts,
// the pacing that keeps the byte stream in step with musical time, and the
// modulation at 6400 bits a second.

#include <algorithm>
#include <ctime>

#include "encoders/lx/mid2lx.h"

namespace tonvelo {

namespace {

// The longest frame: header, pedal levels, a full queue and the check.
constexpr uint32_t kMaxFrameBytes = 20 + kLXSustainSlots + kLXSoftSlots + kLXQueueBytes + 4;

uint8_t Lo8(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }

}  // namespace

void CMid2LX::BuildCrcTable(LXMode mode, uint32_t table[256]) {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t v;
    if (mode == LX_MODE_LX) {
      v = i;
      for (int b = 0; b < 8; ++b) v = (v & 1) != 0 ? (v >> 1) ^ kLXCrc32Polynomial : v >> 1;
    } else {
      v = i << 24;
      for (int b = 0; b < 8; ++b) {
        v = (v & 0x80000000u) != 0 ? (v << 1) ^ kLXCrcSePolynomial : v << 1;
      }
    }
    table[i] = v;
  }
}

void CMid2LX::CrcUpdate(uint8_t byte) {
  if (mode_ == LX_MODE_LX) {
    crc_ = (crc_ >> 8) ^ crcTable_[(crc_ ^ byte) & 0xFF];
  } else {
    crc_ = (crc_ << 8) ^ crcTable_[((crc_ >> 24) ^ byte) & 0xFF];
  }
}

uint8_t CMid2LX::CrcNextByte() {
  uint8_t b;
  if (mode_ == LX_MODE_LX) {
    b = static_cast<uint8_t>(~crc_ & 0xFF);
    crc_ >>= 8;
  } else {
    b = static_cast<uint8_t>(crc_ >> 24);
    crc_ <<= 8;
  }
  return b;
}

// Each register is fed with the scrambler's own output, so a receiver can
// descramble without knowing where the registers started.
uint8_t CMid2LX::Scramble(uint8_t byte) {
  uint32_t& s1 = scrambler_[0];
  uint32_t& s2 = scrambler_[1];
  switch (mode_) {
    case LX_MODE_LX: {
      const uint8_t a = byte ^ Lo8((s1 >> 21) ^ (s1 >> 19) ^ (s1 >> 10) ^ (s1 >> 3) ^ s1);
      s1 = (s1 >> 8) | (static_cast<uint32_t>(a) << 24);
      const uint8_t out = a ^ Lo8((s2 >> 18) ^ (s2 >> 14) ^ (s2 >> 9) ^ s2);
      s2 = (s2 >> 8) | (static_cast<uint32_t>(out) << 24);
      return out;
    }
    case LX_MODE_SE_TAPE: {
      const uint8_t out = byte ^ Lo8((s1 >> 24) ^ (s1 >> 15) ^ (s1 >> 8));
      s1 = (s1 << 8) | out;
      return out;
    }
    case LX_MODE_PIANOMATION1: {
      const uint8_t out = byte ^ Lo8((s1 >> 24) ^ (s1 >> 21) ^ (s1 >> 14) ^ (s1 >> 5) ^ (s1 >> 3));
      s1 = (s1 << 8) | out;
      return out;
    }
  }
  return byte;
}

void CMid2LX::SeedScrambler() {
  scrambler_[0] = scrambler_[1] = 0;
  // The generator is the object's own: conversions running side by side
  // must not draw from one shared sequence.
  std::minstd_rand random(seed_.value_or(static_cast<uint32_t>(std::time(nullptr))));
  for (uint32_t i = 0; i < kLXModes[mode_].seedBytes; ++i) {
    (void)Scramble(static_cast<uint8_t>(random() & 0xFF));
  }
}

Result CMid2LX::StartEncoding() {
  BuildCrcTable(mode_, crcTable_);
  SeedScrambler();
  modulator_.reset(
      symmod_create(sampleRateHz_, kLXBitsPerSecond, kLXAmplitude, MOD_PULSE_SINE_PREV, LAYOUT_MONO,
                    kLXModes[mode_].littleEndian ? SYMMOD_LSB_FIRST : SYMMOD_MSB_FIRST));
  if (!modulator_ || symmod_bytes_output_size(modulator_.get(), 1) > samples_.size()) {
    return Result::kOutOfMemory;
  }
  if (writeBitFile_) {
    std::filesystem::path path = outputBasePath_;
    path += ".bit";
    if (!file_open_write(path, bitFile_)) {
      bitFile_ = kInvalidFile;
      return Result::kWriteError;
    }
  }
  return Result::kSuccess;
}

// Modulates into the sample buffer and writes it out whenever the next byte
// might no longer fit, so a whole frame copy usually goes out in one call.
Result CMid2LX::SendBytes(const uint8_t* bytes, uint32_t count) {
  SymbolModulator* m = modulator_.get();
  const uint32_t perByte = symmod_bytes_output_size(m, 1);
  uint32_t filled = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (filled + perByte > samples_.size()) {
      const Result r = WriteData(samples_.data(), filled);
      if (r != Result::kSuccess) return r;
      totalSamples_ += filled;
      filled = 0;
    }
    filled += symmod_put_bytes(m, bytes + i, 1, samples_.data() + filled);
  }
  const Result r = WriteData(samples_.data(), filled);
  if (r == Result::kSuccess) totalSamples_ += filled;
  if (r == Result::kSuccess && bitFile_ != kInvalidFile && !file_write(bitFile_, bytes, count)) {
    return Result::kWriteError;
  }
  return r;
}

uint32_t CMid2LX::BuildFrameCopy(uint8_t* out) {
  const LXModeInfo& info = kLXModes[mode_];
  uint8_t plain[kMaxFrameBytes];
  uint32_t n = 0;
  const auto put16 = [&](uint32_t v) {
    const auto hi = static_cast<uint8_t>(v >> 8), lo = static_cast<uint8_t>(v);
    plain[n++] = info.littleEndian ? lo : hi;
    plain[n++] = info.littleEndian ? hi : lo;
  };
  const uint32_t length = queueLength_ + info.lengthBase;
  const uint16_t frameStart = bytePosition_;
  put16(length);
  plain[n++] = info.tag[0];
  plain[n++] = info.tag[1];
  if (mode_ == LX_MODE_LX) {
    put16(blockNumber_);
    put16(static_cast<uint16_t>(frameStart + 10));  // the position of this very field
    for (int i = 0; i < 8; ++i) plain[n++] = 0;
  } else {
    put16(static_cast<uint16_t>(frameStart + 8));
    put16(blockNumber_);
  }
  // Odd-numbered levels go complemented, so an idle pedal still toggles bits.
  for (uint32_t i = 0; i < kLXSustainSlots; ++i) {
    plain[n++] = (i & 1) != 0 ? static_cast<uint8_t>(~sustainSamples_[i]) : sustainSamples_[i];
  }
  for (uint32_t i = 0; i < kLXSoftSlots; ++i) {
    plain[n++] = (i & 1) != 0 ? static_cast<uint8_t>(~softSamples_[i]) : softSamples_[i];
  }
  std::copy(queue_, queue_ + queueLength_, plain + n);
  n += queueLength_;

  uint32_t m = 0;
  crc_ = mode_ == LX_MODE_LX ? 0xFFFFFFFFu : 0u;
  for (uint8_t b : info.sync) out[m++] = Scramble(b);
  for (uint32_t i = 0; i < n; ++i) {
    CrcUpdate(plain[i]);
    out[m++] = Scramble(plain[i]);
  }
  for (uint32_t i = 0; i < kLXCrcBytes; ++i) out[m++] = Scramble(CrcNextByte());
  return m;
}

Result CMid2LX::EmitFrame() {
  const LXModeInfo& info = kLXModes[mode_];
  Result r = Result::kSuccess;
  if (blockNumber_ == 0) {
    uint8_t leader[800];
    for (uint32_t i = 0; i < info.leaderBytes; ++i) leader[i] = Scramble(0x00);
    if (info.leaderCounts) bytePosition_ = static_cast<uint16_t>(bytePosition_ + info.leaderBytes);
    r = SendBytes(leader, info.leaderBytes);
  }
  // Each block goes out as often as it takes the byte position to pass the
  // next multiple of 256: on average 256 bytes, 320 ms, per 320 ms block.
  uint8_t copy[kMaxFrameBytes];
  while (r == Result::kSuccess) {
    const uint32_t n = BuildFrameCopy(copy);
    bytePosition_ = static_cast<uint16_t>(bytePosition_ + n);
    r = SendBytes(copy, n);
    if (((bytePosition_ >> 8) & 0xFF) != (blockNumber_ & 0xFF)) break;
  }
  ++blockNumber_;
  return r;
}

Result CMid2LX::EmitTrailer() {
  queueLength_ = 0;
  std::fill(std::begin(held_), std::end(held_), 0);
  std::fill(std::begin(sustainSamples_), std::end(sustainSamples_), 0);
  std::fill(std::begin(softSamples_), std::end(softSamples_), 0);
  const double closing = kLXModes[mode_].closingTicks * 1.1 * sampleRateHz_ / 800;
  const uint32_t target = totalSamples_ + static_cast<uint32_t>(closing + 0.5);
  Result r = Result::kSuccess;
  while (r == Result::kSuccess && totalSamples_ < target) r = EmitFrame();
  return r;
}

}  // namespace tonvelo
