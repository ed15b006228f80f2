#pragma once
// Canonical RIFF/WAVE files of integer PCM (8 or 16 bits, one or two
// channels). Writing goes through a 64 KiB buffer and patches the size fields
// when the file is finished; reading walks the chunk list to the sample data
// and then reads ahead through the same buffer.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include "audio/byte_file.h"
#include "audio/pcm_in.h"

namespace tonvelo {

enum class WaveResult : int {
  kOk = 0,
  kFileError = 3,       // could not open, read, write or seek; or not an acceptable WAVE file
  kInvalidRequest = 4,  // wrong state, bad parameter, frame out of range, unsupported layout
};

// The chunk id whose four bytes, in memory order as in the file, are the
// characters of id (up to four, filled up with spaces).
constexpr uint32_t make_fourcc(std::string_view id) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t c = i < id.size() ? static_cast<uint8_t>(id[i]) : uint8_t{' '};
    v |= static_cast<uint32_t>(c) << (8 * i);
  }
  return v;
}

class CWaveFile {
 public:
  static constexpr uint32_t kBufferBytes = 65536;
  static constexpr uint32_t kHeaderBytes = 44;

  CWaveFile() = default;
  ~CWaveFile();
  CWaveFile(const CWaveFile&) = delete;
  CWaveFile& operator=(const CWaveFile&) = delete;

  [[nodiscard]] WaveResult OpenWrite(const std::filesystem::path& path, uint32_t sampleRateHz,
                                     uint16_t bitsPerSample, uint16_t channels);
  // 16 bits: both values as written; 8 bits: the low byte of each.
  [[nodiscard]] WaveResult WriteFrame(int16_t left, int16_t right);
  // `count` interleaved left/right pairs, each stored as WriteFrame would.
  [[nodiscard]] WaveResult WriteFrames(const int16_t* interleaved, uint32_t count);
  // Patches both size fields and closes; on a reading or closed object, Close.
  [[nodiscard]] WaveResult Finish();
  // Closes in any state; a writing object gets its RIFF size patched only.
  WaveResult Close();

  [[nodiscard]] WaveResult OpenRead(const std::filesystem::path& path);
  // Mono files fill only frame.left; 8-bit samples arrive zero-extended. Reading
  // does not stop at the end of the data chunk: callers count against
  // GetFrameCount.
  [[nodiscard]] WaveResult ReadFrame(PcmFrame& frame);
  // Up to `count` frames as left/right pairs (right 0 for mono); returns how
  // many were read before the first failure.
  uint32_t ReadFrames(int16_t* interleaved, uint32_t count);
  [[nodiscard]] WaveResult SeekFrame(uint32_t index);

  uint32_t GetSampleRate() const { return fmt_.sampleRateHz; }
  uint16_t GetChannels() const { return fmt_.channels; }
  uint16_t GetBitsPerSample() const { return fmt_.bitsPerSample; }
  uint32_t GetFrameCount() const { return frameCount_; }

 private:
  enum State : uint32_t { kClosed = 0, kWriting = 1, kReading = 2 };

  // The "fmt " chunk as stored: id, size, then the 16-byte PCM body.
  struct FmtChunk {
    uint32_t id = make_fourcc("fmt ");
    uint32_t sizeBytes = 16;
    uint16_t formatTag = 1;
    uint16_t channels = 2;
    uint32_t sampleRateHz = 44100;
    uint32_t byteRate = 176400;
    uint16_t blockAlign = 4;
    uint16_t bitsPerSample = 16;
  };
  static constexpr uint32_t kFmtChunkBytes = 24;

  WaveResult OpenFile(const std::filesystem::path& path, bool forWriting);
  WaveResult BufferedWrite(const uint8_t* bytes, uint32_t count);
  WaveResult AppendToBuffer(const uint8_t* bytes, uint32_t count);
  WaveResult FlushBuffer();
  // Makes at least count read-ahead bytes available.
  bool FillReadAhead(uint32_t count);

  // RIFF header image: bytes appended after the first 8 since construction.
  uint32_t riffSizeBytes_ = 0;
  State state_ = kClosed;
  FileHandle handle_ = kInvalidFile;
  std::array<uint8_t, kBufferBytes> buffer_{};
  // Writing: bytes waiting. Reading: bytes read ahead, of which bufferPos_
  // have been delivered.
  uint32_t bufferFill_ = 0;
  uint32_t bufferPos_ = 0;
  FmtChunk fmt_;
  uint32_t dataSizeBytes_ = 0;
  uint32_t dataHeaderPos_ = 0;
  uint32_t frameCount_ = 0;
};

}  // namespace tonvelo
