#pragma once
// Output writer for MP3 files: 192 kbit/s constant bitrate, plain stereo, an
// ID3v2 tag at the start and nothing after the last frame. Frames are encoded
// in blocks of 48000; the tag is written at open and again, with its final
// contents and the same length, over the first bytes at close.

#include <lame/lame.h>

#include <cstdint>

#include "audio/byte_file.h"
#include "audio/pcm_out.h"

namespace tonvelo {

class CPCMOut_MP3 : public CPCMOut {
 public:
  static constexpr uint32_t kBlockFrames = 48000;
  static constexpr uint32_t kEncodedBytes = 71200;
  static constexpr int kBitrateKbps = 192;
  static constexpr int kQualityHigh = 2;  // with accompaniment
  static constexpr int kQualityFast = 9;  // data signal only
  static constexpr size_t kTitleFieldBytes = 512;

  CPCMOut_MP3() = default;
  ~CPCMOut_MP3() override;

  // Encodes what is buffered, flushes the encoder and rewrites the tag;
  // always releases the encoder and the file. Closing again returns 0.
  AudioResult Close() override;

 protected:
  // The tag holds the valid "XXXX=value" lines of tagsPath, or "TIT2=<title>"
  // when there is no such file, and always "TFLT=MPG/3". Text outside ASCII
  // is stored as UTF-16, which every player reads; ASCII as plain bytes.
  [[nodiscard]] AudioResult OpenFile(const std::filesystem::path& path, uint32_t sampleRateHz,
                                     const std::string& title,
                                     const std::filesystem::path& tagsPath,
                                     bool highQuality) override;
  [[nodiscard]] AudioResult PutFrames(const int16_t* interleaved, uint32_t count) override;

 private:
  void Configure(uint32_t sampleRateHz, bool highQuality);
  void SetTagFields(const std::filesystem::path& tagsPath, const std::string& title);
  void SetTagField(const std::string& field);
  bool EncodeBlock();
  bool WriteEncoded(int byteCount);

  FileHandle file_ = kInvalidFile;
  lame_t lame_ = nullptr;
  int16_t left_[kBlockFrames] = {};
  int16_t right_[kBlockFrames] = {};
  uint8_t encoded_[kEncodedBytes] = {};
  uint32_t bufferedFrames_ = 0;
  size_t tagBytes_ = 0;
};

}  // namespace tonvelo
