#pragma once
// Output writer for FLAC files: lossless 16-bit stereo, so the data signal
// comes back sample for sample at about half the size of a WAV. The tags
// file's fields travel as Vorbis comments. Frames are collected into blocks
// and handed to libFLAC a block at a time; the file goes through the byte-file
// functions, and STREAMINFO (length, MD5) is rewritten at close.

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <array>
#include <cstdint>

#include "audio/byte_file.h"
#include "audio/pcm_out.h"

namespace tonvelo {

// ID3v2 frame id of a tags-file line, and the Vorbis comment it becomes.
struct VorbisFieldMap {
  const char* frameId;
  const char* name;
};
// clang-format off
constexpr std::array<VorbisFieldMap, 8> kVorbisFields{{
  // frame   comment
  {"TIT2",  "TITLE"},
  {"TPE1",  "ARTIST"},
  {"TALB",  "ALBUM"},
  {"TRCK",  "TRACKNUMBER"},
  {"TYER",  "DATE"},
  {"TDRC",  "DATE"},
  {"TCON",  "GENRE"},
  {"COMM",  "COMMENT"},
}};
// clang-format on

class CPCMOut_FLAC : public CPCMOut {
 public:
  static constexpr uint32_t kBlockFrames = 4096;
  static constexpr uint32_t kCompressionLevel = 5;  // libFLAC's default balance

  CPCMOut_FLAC() = default;
  ~CPCMOut_FLAC() override;

  // Encodes what is buffered and finishes the stream; always releases the
  // encoder and the file. Closing again returns 0.
  AudioResult Close() override;

 protected:
  // Comments from the mapped lines of tagsPath (a later line for the same
  // comment replaces an earlier one), or TITLE=<title> without such a file.
  [[nodiscard]] AudioResult OpenFile(const std::filesystem::path& path, uint32_t sampleRateHz,
                                     const std::string& title,
                                     const std::filesystem::path& tagsPath,
                                     bool highQuality) override;
  [[nodiscard]] AudioResult PutFrames(const int16_t* interleaved, uint32_t count) override {
    return AppendFrames(interleaved, count);
  }

 private:
  // Interleaved left/right frames into the block buffer, encoding each full
  // block.
  [[nodiscard]] AudioResult AppendFrames(const int16_t* interleaved, uint32_t frameCount);
  bool EncodeBlock();
  bool BuildComments(const std::filesystem::path& tagsPath, const std::string& title);

  static FLAC__StreamEncoderWriteStatus OnWrite(const FLAC__StreamEncoder*, const FLAC__byte* data,
                                                size_t bytes, uint32_t, uint32_t, void* self);
  static FLAC__StreamEncoderSeekStatus OnSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                              void* self);
  static FLAC__StreamEncoderTellStatus OnTell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                              void* self);

  FileHandle file_ = kInvalidFile;
  FLAC__StreamEncoder* encoder_ = nullptr;
  FLAC__StreamMetadata* comments_ = nullptr;  // must outlive the encoder's finish
  FLAC__int32 block_[2 * kBlockFrames] = {};
  uint32_t bufferedFrames_ = 0;
};

}  // namespace tonvelo
