#pragma once
// Accompaniment reader for MP3 files, decoded with LAME's hip decoder. Open
// decodes the whole file once to learn its length; reading decodes it again,
// chunk by chunk, so the decoded file is never held in memory. ID3v2 tags at
// the start of the file are stepped over: the decoder never sees them.

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
  static constexpr uint32_t kId3HeaderBytes = 10;
  // Empty answers in a row after which a decoder given no new input is taken
  // to hold nothing more (see DecodeMore).
  static constexpr int kEmptyDrainAnswers = 2;

  // Length of the ID3v2 tag whose 10-byte header is given, footer included;
  // 0 when the bytes are no tag header.
  static uint32_t Id3v2TagBytes(const uint8_t* header);

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
  // Sets audioStart_ behind the ID3v2 tags at the start of the file.
  void FindAudioStart();
  bool InitDecoder();
  void ExitDecoder();
  // Decodes into the buffers from their start; decodedFrames is 0 only at the
  // end of the stream.
  bool DecodeMore(uint32_t& decodedFrames);

  FileHandle file_ = kInvalidFile;
  uint32_t fileBytes_ = 0;
  uint32_t audioStart_ = 0;  // first byte after the leading ID3v2 tags
  hip_t hip_ = nullptr;
  mp3data_struct info_{};
  uint32_t remainingBytes_ = 0;
  uint32_t readIndex_ = 0;
  uint32_t decodedFrames_ = 0;
  // The decoder may still hold frames of input already given to it.
  bool draining_ = false;
  int emptyDrains_ = 0;
  std::unique_ptr<uint8_t[]> input_;
  std::unique_ptr<int16_t[]> left_;
  std::unique_ptr<int16_t[]> right_;
};

}  // namespace tonvelo
