#include "audio/pcm_in_mp3.h"

#include <algorithm>
#include <cstdarg>

namespace tonvelo {
namespace {

// The core never prints; the decoder's complaints about damaged frames are
// dropped (the stream simply yields fewer samples).
void Quiet(const char* /*format*/, va_list /*args*/) {}

}  // namespace

CPCMIn_MP3::CPCMIn_MP3()
    : input_(std::make_unique<uint8_t[]>(kChunkBytes)),
      left_(std::make_unique<int16_t[]>(kDecodedFrames)),
      right_(std::make_unique<int16_t[]>(kDecodedFrames)) {}

CPCMIn_MP3::~CPCMIn_MP3() { Close(); }

bool CPCMIn_MP3::InitDecoder() {
  hip_ = hip_decode_init();
  if (hip_ == nullptr) return false;
  hip_set_errorf(hip_, Quiet);
  hip_set_debugf(hip_, Quiet);
  hip_set_msgf(hip_, Quiet);
  info_ = mp3data_struct{};
  draining_ = false;
  return true;
}

void CPCMIn_MP3::ExitDecoder() {
  if (hip_ != nullptr) hip_decode_exit(hip_);
  hip_ = nullptr;
  draining_ = false;
}

// Each chunk is given to the decoder once and then drained one MPEG frame at
// a time by calls without new input, until the decoder has nothing left.
//
// The drain follows every chunk, also when the call that gave the chunk
// returned 0: when a frame straddles two chunks, that call completes the
// frame yet reports 0, while the whole new chunk is ready behind it. Stopping
// there, as hip_decode_headers does, would leave the chunk inside the decoder,
// and at the last chunk lose up to 32 KiB of the end of the recording.
//
// One empty answer does not end the drain either: the call after a VBR or
// LAME Info frame consumes that frame and reports 0, and so does the next,
// before the first audio frame comes out. A file of at most one chunk that
// starts with such a frame would otherwise read as empty.
//
// Draining one frame at a time also keeps every call within the buffers: a
// 32768-byte chunk of a low-bitrate stream can hold more than 524288 samples
// per channel. What does not fit is drained on the next call, before any new
// input is read.
bool CPCMIn_MP3::DecodeMore(uint32_t& decodedFrames) {
  decodedFrames = 0;
  for (;;) {
    if (draining_) {
      if (kDecodedFrames - decodedFrames < kMaxFrameSamples) return true;
      const int n = hip_decode1_headers(hip_, input_.get(), 0, left_.get() + decodedFrames,
                                        right_.get() + decodedFrames, &info_);
      if (n < 0) {
        draining_ = false;
        return false;
      }
      if (n > 0) {
        decodedFrames += static_cast<uint32_t>(n);
        emptyDrains_ = 0;
      } else if (++emptyDrains_ >= kEmptyDrainAnswers) {
        draining_ = false;
      }
      continue;
    }
    if (decodedFrames > 0 || remainingBytes_ == 0 || hip_ == nullptr) return true;
    const uint32_t chunkBytes = std::min(remainingBytes_, kChunkBytes);
    if (!file_read(file_, input_.get(), chunkBytes)) return false;
    remainingBytes_ -= chunkBytes;
    const int n =
        hip_decode1_headers(hip_, input_.get(), chunkBytes, left_.get(), right_.get(), &info_);
    if (n < 0) return false;
    decodedFrames = static_cast<uint32_t>(n);
    draining_ = true;
    emptyDrains_ = 0;
  }
}

uint32_t CPCMIn_MP3::Id3v2TagBytes(const uint8_t* h) {
  if (h[0] != 'I' || h[1] != 'D' || h[2] != '3' || h[3] == 0xFF || h[4] == 0xFF) return 0;
  // The size is "syncsafe": seven bits per byte, so that no tag header can
  // look like an MPEG sync word.
  if (((h[6] | h[7] | h[8] | h[9]) & 0x80) != 0) return 0;
  const uint32_t bodyBytes =
      uint32_t{h[6]} << 21 | uint32_t{h[7]} << 14 | uint32_t{h[8]} << 7 | h[9];
  const bool hasFooter = h[3] >= 4 && (h[5] & 0x10) != 0;
  return kId3HeaderBytes + bodyBytes + (hasFooter ? kId3HeaderBytes : 0);
}

// Text frames in UTF-16 begin with the byte-order mark FF FE, which the
// decoder takes for a frame header; embedded pictures are full of such
// patterns. Tags are therefore skipped by their stated size, however many
// follow one another, and decoding starts behind the last.
void CPCMIn_MP3::FindAudioStart() {
  uint64_t start = 0;
  uint8_t header[kId3HeaderBytes];
  while (start + kId3HeaderBytes <= fileBytes_ && file_seek(file_, static_cast<uint32_t>(start)) &&
         file_read(file_, header, sizeof header)) {
    const uint32_t tagBytes = Id3v2TagBytes(header);
    if (tagBytes == 0) break;
    start += tagBytes;
  }
  audioStart_ = static_cast<uint32_t>(std::min<uint64_t>(start, fileBytes_));
}

AudioResult CPCMIn_MP3::Open(const std::filesystem::path& path) {
  if (file_ != kInvalidFile) Close();
  lengthFrames_ = 0;
  channels_ = 0;
  sampleRateHz_ = 0;
  bitsPerSample_ = 16;
  if (!file_open_read(path, file_)) return AudioResult::kFailed;
  fileBytes_ = file_size(file_);
  FindAudioStart();
  if (Rewind() != AudioResult::kOk) {
    Close();
    return AudioResult::kFailed;
  }
  // Counting pass: only the number of samples matters.
  uint32_t decodedFrames = 0;
  do {
    if (!DecodeMore(decodedFrames)) {
      Close();
      return AudioResult::kFailed;
    }
    lengthFrames_ += decodedFrames;
  } while (decodedFrames > 0);
  if (info_.header_parsed != 0) {
    channels_ = static_cast<uint32_t>(info_.stereo);
    sampleRateHz_ = static_cast<uint32_t>(info_.samplerate);
  }
  return Rewind();
}

AudioResult CPCMIn_MP3::Rewind() {
  if (file_ == kInvalidFile) return AudioResult::kFailed;
  ExitDecoder();
  readIndex_ = 0;
  decodedFrames_ = 0;
  remainingBytes_ = 0;
  if (!InitDecoder() || !file_seek(file_, audioStart_)) return AudioResult::kFailed;
  remainingBytes_ = fileBytes_ - audioStart_;
  return AudioResult::kOk;
}

AudioResult CPCMIn_MP3::ReadFrame(PcmFrame& frame) {
  if (file_ == kInvalidFile) return AudioResult::kFailed;
  if (decodedFrames_ == 0) {
    readIndex_ = 0;
    if (!DecodeMore(decodedFrames_)) {
      decodedFrames_ = 0;
      return AudioResult::kFailed;
    }
    if (decodedFrames_ == 0) return AudioResult::kOk;
  }
  frame.left = left_[readIndex_];
  if (channels_ >= 2) frame.right = right_[readIndex_];
  ++readIndex_;
  --decodedFrames_;
  return AudioResult::kOk;
}

uint32_t CPCMIn_MP3::ReadFrames(int16_t* interleaved, uint32_t count) {
  if (file_ == kInvalidFile) return 0;
  uint32_t done = 0;
  while (done < count) {
    if (decodedFrames_ == 0) {
      readIndex_ = 0;
      if (!DecodeMore(decodedFrames_)) {
        decodedFrames_ = 0;
        return done;
      }
      if (decodedFrames_ == 0) {
        std::fill(interleaved + 2 * done, interleaved + 2 * count, int16_t{0});
        return count;
      }
    }
    const uint32_t n = std::min(count - done, decodedFrames_);
    const int16_t* left = left_.get() + readIndex_;
    const int16_t* right = right_.get() + readIndex_;
    int16_t* out = interleaved + 2 * done;
    const bool stereo = channels_ >= 2;
    for (uint32_t i = 0; i < n; ++i) {
      out[2 * i] = left[i];
      out[2 * i + 1] = stereo ? right[i] : int16_t{0};
    }
    readIndex_ += n;
    decodedFrames_ -= n;
    done += n;
  }
  return done;
}

AudioResult CPCMIn_MP3::Close() {
  if (file_ == kInvalidFile) return AudioResult::kFailed;
  file_close(file_);
  file_ = kInvalidFile;
  ExitDecoder();
  readIndex_ = 0;
  decodedFrames_ = 0;
  remainingBytes_ = 0;
  fileBytes_ = 0;
  audioStart_ = 0;
  return AudioResult::kOk;
}

}  // namespace tonvelo
