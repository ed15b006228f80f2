#pragma once
// Accompaniment reader for MP3 files, decoded with LAME's hip decoder. Open
// decodes the whole file once to learn its length; reading decodes it again,
// chunk by chunk, so the decoded file is never held in memory.

#include <lame/lame.h>

#include <cstdint>
#include <memory>

#include "audio/byte_file.h"
#include "audio/pcm_in.h"

namespace tonvelo {

class CPCMIn_MP3 : public CPCMIn {
 public:
  static constexpr uint32_t kChunkBytes = 32768;
  static constexpr uint32_t kDecodedFrames = 524288;
  // Samples per channel of the longest MPEG audio frame (layers II and III).
  static constexpr uint32_t kMaxFrameSamples = 1152;

  CPCMIn_MP3();
  ~CPCMIn_MP3() override;

  // A file without a stream header opens with sample rate and channels 0.
  [[nodiscard]] AudioResult Open(const std::filesystem::path& path) override;
  // Past the end of the stream: success, frame untouched. Mono streams fill
  // only frame.left.
  [[nodiscard]] AudioResult ReadFrame(PcmFrame& frame) override;
  // Past the end of the stream the frames are silent and count as read, the
  // block form of ReadFrame's success with an untouched frame.
  [[nodiscard]] uint32_t ReadFrames(int16_t* interleaved, uint32_t count) override;
  [[nodiscard]] AudioResult Rewind() override;
  // Reports failure when nothing is open.
  AudioResult Close() override;

 private:
  bool InitDecoder();
  void ExitDecoder();
  // Decodes into the buffers from their start; decodedFrames is 0 only at the
  // end of the stream.
  bool DecodeMore(uint32_t& decodedFrames);

  FileHandle file_ = kInvalidFile;
  hip_t hip_ = nullptr;
  mp3data_struct info_{};
  uint32_t remainingBytes_ = 0;
  uint32_t readIndex_ = 0;
  uint32_t decodedFrames_ = 0;
  // The decoder may still hold frames of input already given to it.
  bool draining_ = false;
  std::unique_ptr<uint8_t[]> input_;
  std::unique_ptr<int16_t[]> left_;
  std::unique_ptr<int16_t[]> right_;
};

}  // namespace tonvelo
