#include "audio/wave_file.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tonvelo {
namespace {

void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

uint32_t GetLE32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutChunkHeader(uint8_t* p, uint32_t id, uint32_t sizeBytes) {
  PutLE32(p, id);
  PutLE32(p + 4, sizeBytes);
}

// Chunk ids are four printable ASCII characters ("fmt ", "LIST", "data").
bool IsPlausibleChunkId(const uint8_t* p) {
  for (int i = 0; i < 4; ++i) {
    if (p[i] < 0x20 || p[i] > 0x7E) return false;
  }
  return true;
}

}  // namespace

CWaveFile::~CWaveFile() {
  if (state_ != kClosed) Close();
}

WaveResult CWaveFile::OpenFile(const std::filesystem::path& path, bool forWriting) {
  if (state_ != kClosed) {
    const WaveResult r = Close();
    if (r != WaveResult::kOk) return r;
  }
  bufferFill_ = 0;
  bufferPos_ = 0;
  uint8_t riff[8];
  if (forWriting) {
    if (!file_open_write(path, handle_)) return WaveResult::kFileError;
    PutChunkHeader(riff, make_fourcc("RIFF"), riffSizeBytes_);
    if (!file_write(handle_, riff, sizeof riff)) {
      file_close(handle_);
      handle_ = kInvalidFile;
      file_delete(path);
      return WaveResult::kFileError;
    }
    state_ = kWriting;
    return WaveResult::kOk;
  }
  if (!file_open_read(path, handle_)) return WaveResult::kFileError;
  // The RIFF id and size are read but not trusted: some writers put other
  // things there, and the chunk walk does not need them.
  if (!file_read(handle_, riff, sizeof riff)) {
    file_close(handle_);
    handle_ = kInvalidFile;
    return WaveResult::kFileError;
  }
  riffSizeBytes_ = GetLE32(riff + 4);
  state_ = kReading;
  return WaveResult::kOk;
}

WaveResult CWaveFile::FlushBuffer() {
  if (bufferFill_ == 0) return WaveResult::kOk;
  const bool ok = file_write(handle_, buffer_.data(), bufferFill_);
  bufferFill_ = 0;
  return ok ? WaveResult::kOk : WaveResult::kFileError;
}

WaveResult CWaveFile::AppendToBuffer(const uint8_t* bytes, uint32_t count) {
  while (count > 0) {
    const uint32_t room = kBufferBytes - bufferFill_;
    const uint32_t n = count < room ? count : room;
    std::memcpy(buffer_.data() + bufferFill_, bytes, n);
    bufferFill_ += n;
    bytes += n;
    count -= n;
    if (bufferFill_ == kBufferBytes) {
      const WaveResult r = FlushBuffer();
      if (r != WaveResult::kOk) return r;
    }
  }
  return WaveResult::kOk;
}

WaveResult CWaveFile::BufferedWrite(const uint8_t* bytes, uint32_t count) {
  if (state_ != kWriting) return WaveResult::kInvalidRequest;
  riffSizeBytes_ += count;
  return AppendToBuffer(bytes, count);
}

WaveResult CWaveFile::OpenWrite(const std::filesystem::path& path, uint32_t sampleRateHz,
                                uint16_t bitsPerSample, uint16_t channels) {
  if (path.empty() || (bitsPerSample != 8 && bitsPerSample != 16) ||
      (channels != 1 && channels != 2)) {
    return WaveResult::kInvalidRequest;
  }
  const uint32_t bitsPerFrame = static_cast<uint32_t>(bitsPerSample) * channels;
  fmt_.channels = channels;
  fmt_.bitsPerSample = bitsPerSample;
  fmt_.sampleRateHz = sampleRateHz;
  fmt_.byteRate = (bitsPerFrame * sampleRateHz) >> 3;
  fmt_.blockAlign = static_cast<uint16_t>(bitsPerFrame / 8);

  WaveResult r = OpenFile(path, true);
  if (r != WaveResult::kOk) return r;

  uint8_t head[4 + kFmtChunkBytes];
  PutLE32(head, make_fourcc("WAVE"));
  uint8_t* f = head + 4;
  PutChunkHeader(f, fmt_.id, fmt_.sizeBytes);
  PutLE16(f + 8, fmt_.formatTag);
  PutLE16(f + 10, fmt_.channels);
  PutLE32(f + 12, fmt_.sampleRateHz);
  PutLE32(f + 16, fmt_.byteRate);
  PutLE16(f + 20, fmt_.blockAlign);
  PutLE16(f + 22, fmt_.bitsPerSample);
  if ((r = BufferedWrite(head, sizeof head)) != WaveResult::kOk) return r;
  if ((r = FlushBuffer()) != WaveResult::kOk) return r;

  dataHeaderPos_ = file_tell(handle_);
  uint8_t data[8];
  PutChunkHeader(data, make_fourcc("data"), dataSizeBytes_);
  return BufferedWrite(data, sizeof data);
}

WaveResult CWaveFile::WriteFrame(int16_t left, int16_t right) {
  uint8_t bytes[4];
  uint32_t count;
  if (fmt_.bitsPerSample == 16) {
    PutLE16(bytes, static_cast<uint16_t>(left));
    PutLE16(bytes + 2, static_cast<uint16_t>(right));
    count = 4;
  } else if (fmt_.bitsPerSample == 8) {
    bytes[0] = static_cast<uint8_t>(left);
    bytes[1] = static_cast<uint8_t>(right);
    count = 2;
  } else {
    return WaveResult::kInvalidRequest;
  }
  const WaveResult r = BufferedWrite(bytes, count);
  if (r != WaveResult::kOk) return r;
  dataSizeBytes_ += count;
  ++frameCount_;
  return WaveResult::kOk;
}

WaveResult CWaveFile::WriteFrames(const int16_t* interleaved, uint32_t count) {
  if (fmt_.bitsPerSample != 16) {
    for (uint32_t i = 0; i < count; ++i) {
      const WaveResult r = WriteFrame(interleaved[2 * i], interleaved[2 * i + 1]);
      if (r != WaveResult::kOk) return r;
    }
    return WaveResult::kOk;
  }
  // Pieces small enough that their byte counts cannot overflow.
  constexpr uint32_t kPieceFrames = 4096;
  while (count > 0) {
    const uint32_t n = std::min(count, kPieceFrames);
    const uint32_t bytes = 4 * n;
    WaveResult r;
    if constexpr (std::endian::native == std::endian::little) {
      r = BufferedWrite(reinterpret_cast<const uint8_t*>(interleaved), bytes);
    } else {
      uint8_t le[4 * kPieceFrames];
      for (uint32_t i = 0; i < 2 * n; ++i)
        PutLE16(le + 2 * i, static_cast<uint16_t>(interleaved[i]));
      r = BufferedWrite(le, bytes);
    }
    if (r != WaveResult::kOk) return r;
    dataSizeBytes_ += bytes;
    frameCount_ += n;
    interleaved += 2 * n;
    count -= n;
  }
  return WaveResult::kOk;
}

WaveResult CWaveFile::Finish() {
  if (state_ == kWriting) {
    WaveResult r = FlushBuffer();
    if (r != WaveResult::kOk) return r;
    if (!file_flush(handle_) || !file_seek(handle_, dataHeaderPos_)) {
      return WaveResult::kFileError;
    }
    // A rewrite of bytes already counted: the RIFF size stays as it is.
    uint8_t data[8];
    PutChunkHeader(data, make_fourcc("data"), dataSizeBytes_);
    if ((r = AppendToBuffer(data, sizeof data)) != WaveResult::kOk) return r;
    if ((r = FlushBuffer()) != WaveResult::kOk) return r;
  }
  return Close();
}

WaveResult CWaveFile::Close() {
  WaveResult result = WaveResult::kOk;
  if (state_ == kWriting) {
    // The buffer's own error is not reported here: Finish has reported it
    // already, and a destructor cannot act on it.
    (void)FlushBuffer();
    file_flush(handle_);
    uint8_t riff[8];
    PutChunkHeader(riff, make_fourcc("RIFF"), riffSizeBytes_);
    if (!file_seek(handle_, 0) || !file_write(handle_, riff, sizeof riff)) {
      result = WaveResult::kFileError;
    }
    file_close(handle_);
  } else if (state_ == kReading) {
    file_close(handle_);
  }
  handle_ = kInvalidFile;
  state_ = kClosed;
  bufferFill_ = 0;
  bufferPos_ = 0;
  return result;
}

WaveResult CWaveFile::OpenRead(const std::filesystem::path& path) {
  if (path.empty()) return WaveResult::kInvalidRequest;
  WaveResult r = OpenFile(path, false);
  if (r != WaveResult::kOk) return r;

  uint8_t wave[4];
  if (!file_read(handle_, wave, sizeof wave) || GetLE32(wave) != make_fourcc("WAVE")) {
    return WaveResult::kFileError;
  }

  // Positions are kept in 64 bits so that a hostile chunk size can neither wrap
  // the walk back to an earlier chunk nor loop it forever.
  uint64_t pos = 12;
  for (;;) {
    uint8_t header[8];
    if (!file_read(handle_, header, sizeof header)) return WaveResult::kFileError;
    const uint32_t id = GetLE32(header);
    const uint32_t sizeBytes = GetLE32(header + 4);
    const uint64_t after = pos + 8;

    if (id == make_fourcc("fmt ")) {
      uint8_t f[kFmtChunkBytes];
      if (!file_seek(handle_, static_cast<uint32_t>(pos)) || !file_read(handle_, f, sizeof f)) {
        return WaveResult::kFileError;
      }
      fmt_.id = GetLE32(f);
      fmt_.sizeBytes = GetLE32(f + 4);
      fmt_.formatTag = GetLE16(f + 8);
      fmt_.channels = GetLE16(f + 10);
      fmt_.sampleRateHz = GetLE32(f + 12);
      fmt_.byteRate = GetLE32(f + 16);
      fmt_.blockAlign = GetLE16(f + 20);
      fmt_.bitsPerSample = GetLE16(f + 22);
      const uint32_t bitsPerFrame = static_cast<uint32_t>(fmt_.bitsPerSample) * fmt_.channels;
      if ((fmt_.channels != 1 && fmt_.channels != 2) ||
          fmt_.byteRate != ((fmt_.sampleRateHz * bitsPerFrame) >> 3) ||
          fmt_.blockAlign != bitsPerFrame / 8 || fmt_.bitsPerSample < 8) {
        return WaveResult::kFileError;
      }
    } else if (id == make_fourcc("data")) {
      dataHeaderPos_ = static_cast<uint32_t>(pos);
      dataSizeBytes_ = sizeBytes;
      frameCount_ = dataSizeBytes_ / fmt_.channels / (fmt_.bitsPerSample / 8);
      // The header has just been read: the file stands at the first sample.
      return WaveResult::kOk;
    }
    // RIFF pads a chunk of odd size with one byte, but many writers leave the
    // pad out. The pad is taken only when the next chunk id sits one byte
    // further on and no id is found without it.
    uint64_t next = after + sizeBytes;
    uint8_t ids[5];
    if ((sizeBytes & 1) != 0 && next < 0xFFFFFFFFu &&
        file_seek(handle_, static_cast<uint32_t>(next)) && file_read(handle_, ids, sizeof ids) &&
        !IsPlausibleChunkId(ids) && IsPlausibleChunkId(ids + 1)) {
      ++next;
    }
    if (next > 0xFFFFFFFFu || !file_seek(handle_, static_cast<uint32_t>(next))) {
      return WaveResult::kFileError;
    }
    pos = next;
  }
}

bool CWaveFile::FillReadAhead(uint32_t count) {
  uint32_t waiting = bufferFill_ - bufferPos_;
  if (waiting >= count) return true;
  std::memmove(buffer_.data(), buffer_.data() + bufferPos_, waiting);
  bufferPos_ = 0;
  waiting += static_cast<uint32_t>(
      file_read_available(handle_, buffer_.data() + waiting, kBufferBytes - waiting));
  bufferFill_ = waiting;
  return waiting >= count;
}

WaveResult CWaveFile::ReadFrame(PcmFrame& frame) {
  const uint16_t channels = fmt_.channels;
  const uint16_t bits = fmt_.bitsPerSample;
  if ((channels != 1 && channels != 2) || (bits != 8 && bits != 16)) {
    return WaveResult::kInvalidRequest;
  }
  if (state_ != kReading) return WaveResult::kFileError;
  const uint32_t count = channels * (bits / 8u);
  if (bufferFill_ - bufferPos_ < count && !FillReadAhead(count)) return WaveResult::kFileError;
  const uint8_t* p = buffer_.data() + bufferPos_;
  bufferPos_ += count;
  if (bits == 16) {
    frame.left = static_cast<int16_t>(GetLE16(p));
    if (channels == 2) frame.right = static_cast<int16_t>(GetLE16(p + 2));
  } else {
    frame.left = p[0];
    if (channels == 2) frame.right = p[1];
  }
  return WaveResult::kOk;
}

uint32_t CWaveFile::ReadFrames(int16_t* interleaved, uint32_t count) {
  const uint16_t channels = fmt_.channels;
  const uint16_t bits = fmt_.bitsPerSample;
  if ((channels != 1 && channels != 2) || (bits != 8 && bits != 16) || state_ != kReading) {
    return 0;
  }
  const uint32_t frameBytes = channels * (bits / 8u);
  uint32_t done = 0;
  while (done < count) {
    if (bufferFill_ - bufferPos_ < frameBytes && !FillReadAhead(frameBytes)) break;
    const uint32_t n = std::min(count - done, (bufferFill_ - bufferPos_) / frameBytes);
    const uint8_t* p = buffer_.data() + bufferPos_;
    int16_t* out = interleaved + 2 * done;
    if (bits == 16 && channels == 2 && std::endian::native == std::endian::little) {
      std::memcpy(out, p, 4 * size_t{n});
    } else if (bits == 16) {
      for (uint32_t i = 0; i < n; ++i, p += frameBytes) {
        out[2 * i] = static_cast<int16_t>(GetLE16(p));
        out[2 * i + 1] = channels == 2 ? static_cast<int16_t>(GetLE16(p + 2)) : int16_t{0};
      }
    } else {
      for (uint32_t i = 0; i < n; ++i, p += frameBytes) {
        out[2 * i] = p[0];
        out[2 * i + 1] = channels == 2 ? p[1] : 0;
      }
    }
    bufferPos_ += n * frameBytes;
    done += n;
  }
  return done;
}

WaveResult CWaveFile::SeekFrame(uint32_t index) {
  if (index >= frameCount_) return WaveResult::kInvalidRequest;
  if (state_ == kWriting) {
    // Bytes still buffered belong before the new position.
    if (FlushBuffer() != WaveResult::kOk) return WaveResult::kFileError;
    file_flush(handle_);
  }
  bufferFill_ = 0;
  bufferPos_ = 0;
  const uint64_t position = dataHeaderPos_ + uint64_t{8} +
                            uint64_t{index} * fmt_.channels * ((fmt_.bitsPerSample + 7u) / 8u);
  if (position > 0xFFFFFFFFu || !file_seek(handle_, static_cast<uint32_t>(position))) {
    return WaveResult::kFileError;
  }
  return WaveResult::kOk;
}

}  // namespace tonvelo
