#pragma once
// Accompaniment reader for FLAC files, decoded with libFLAC through the
// byte-file functions. Length, channels, rate and width come from STREAMINFO
// (a stream that does not state its length is decoded once to count it).
// Frames are delivered from the decoder's current block; any decoding error
// (a damaged or cut-off file) fails the reader from then on.

#include <FLAC/stream_decoder.h>

#include <cstdint>
#include <memory>

#include "audio/byte_file.h"
#include "audio/pcm_in.h"

namespace tonvelo {

class CPCMIn_FLAC : public CPCMIn {
 public:
  static constexpr uint32_t kMaxBlockFrames = 65535;  // the format's largest block

  CPCMIn_FLAC();
  ~CPCMIn_FLAC() override;

  [[nodiscard]] AudioResult Open(const std::filesystem::path& path) override;
  // Samples wider than 16 bits arrive cut to their low 16 (the conversion
  // thread refuses such files); mono streams fill only frame.left. Past the
  // end of the stream: failure.
  [[nodiscard]] AudioResult ReadFrame(PcmFrame& frame) override;
  [[nodiscard]] uint32_t ReadFrames(int16_t* interleaved, uint32_t count) override;
  [[nodiscard]] AudioResult Rewind() override;
  // Reports failure when nothing is open.
  AudioResult Close() override;

 private:
  // Up to `frameCount` frames into `out` (mono: left only); returns how many
  // arrived, fewer only at the end or on a failure.
  uint32_t TakeFrames(PcmFrame* out, uint32_t frameCount);
  bool DecodeBlock();

  static FLAC__StreamDecoderReadStatus OnRead(const FLAC__StreamDecoder*, FLAC__byte* buffer,
                                              size_t* bytes, void* self);
  static FLAC__StreamDecoderSeekStatus OnSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset,
                                              void* self);
  static FLAC__StreamDecoderTellStatus OnTell(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                              void* self);
  static FLAC__StreamDecoderLengthStatus OnLength(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                  void* self);
  static FLAC__bool OnEof(const FLAC__StreamDecoder*, void* self);
  static FLAC__StreamDecoderWriteStatus OnWriteBlock(const FLAC__StreamDecoder*,
                                                     const FLAC__Frame* frame,
                                                     const FLAC__int32* const buffer[], void* self);
  static void OnMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                         void* self);
  static void OnError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self);

  FileHandle file_ = kInvalidFile;
  FLAC__StreamDecoder* decoder_ = nullptr;
  uint64_t statedFrames_ = 0;  // from STREAMINFO; 0 when the stream does not say
  bool sawStreamInfo_ = false;
  bool failed_ = false;
  std::unique_ptr<PcmFrame[]> block_;  // the current decoded block
  uint32_t blockFrames_ = 0;
  uint32_t readIndex_ = 0;
};

}  // namespace tonvelo
