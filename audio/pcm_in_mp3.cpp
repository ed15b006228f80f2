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
      if (n == 0) {
        draining_ = false;
      } else {
        decodedFrames += static_cast<uint32_t>(n);
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
  }
}

AudioResult CPCMIn_MP3::Open(const std::filesystem::path& path) {
  if (file_ != kInvalidFile) Close();
  lengthFrames_ = 0;
  channels_ = 0;
  sampleRateHz_ = 0;
  bitsPerSample_ = 16;
  if (!file_open_read(path, file_)) return AudioResult::kFailed;
  remainingBytes_ = file_size(file_);
  if (!InitDecoder()) {
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
  if (!InitDecoder() || !file_seek(file_, 0)) return AudioResult::kFailed;
  remainingBytes_ = file_size(file_);
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
  return AudioResult::kOk;
}

}  // namespace tonvelo
