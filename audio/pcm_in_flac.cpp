#include "audio/pcm_in_flac.h"

#include <algorithm>

namespace tonvelo {

CPCMIn_FLAC::CPCMIn_FLAC() : block_(std::make_unique<PcmFrame[]>(kMaxBlockFrames)) {}

CPCMIn_FLAC::~CPCMIn_FLAC() { Close(); }

AudioResult CPCMIn_FLAC::Open(const std::filesystem::path& path) {
  Close();
  lengthFrames_ = channels_ = sampleRateHz_ = bitsPerSample_ = 0;
  statedFrames_ = 0;
  sawStreamInfo_ = false;
  failed_ = false;
  if (!file_open_read(path, file_)) return AudioResult::kFailed;
  decoder_ = FLAC__stream_decoder_new();
  if (decoder_ == nullptr ||
      FLAC__stream_decoder_init_stream(decoder_, OnRead, OnSeek, OnTell, OnLength, OnEof,
                                       OnWriteBlock, OnMetadata, OnError,
                                       this) != FLAC__STREAM_DECODER_INIT_STATUS_OK ||
      !FLAC__stream_decoder_process_until_end_of_metadata(decoder_) || !sawStreamInfo_ || failed_) {
    Close();
    return AudioResult::kFailed;
  }
  if (statedFrames_ == 0) {
    // A stream written without knowing its length: count it.
    uint64_t counted = 0;
    while (DecodeBlock()) counted += blockFrames_;
    if (failed_) {
      Close();
      return AudioResult::kFailed;
    }
    statedFrames_ = counted;
    if (Rewind() != AudioResult::kOk) {
      Close();
      return AudioResult::kFailed;
    }
  }
  lengthFrames_ = static_cast<uint32_t>(std::min<uint64_t>(statedFrames_, UINT32_MAX));
  return AudioResult::kOk;
}

bool CPCMIn_FLAC::DecodeBlock() {
  blockFrames_ = readIndex_ = 0;
  while (blockFrames_ == 0 && !failed_) {
    if (FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_END_OF_STREAM) {
      return false;
    }
    if (!FLAC__stream_decoder_process_single(decoder_)) failed_ = true;
  }
  return blockFrames_ > 0;
}

uint32_t CPCMIn_FLAC::TakeFrames(PcmFrame* out, uint32_t frameCount) {
  uint32_t done = 0;
  while (done < frameCount) {
    if (readIndex_ == blockFrames_ && !DecodeBlock()) break;
    const uint32_t n = std::min(frameCount - done, blockFrames_ - readIndex_);
    if (channels_ >= 2) {
      std::copy_n(block_.get() + readIndex_, n, out + done);
    } else {
      for (uint32_t i = 0; i < n; ++i) out[done + i].left = block_[readIndex_ + i].left;
    }
    readIndex_ += n;
    done += n;
  }
  return done;
}

AudioResult CPCMIn_FLAC::ReadFrame(PcmFrame& frame) {
  if (decoder_ == nullptr || failed_) return AudioResult::kFailed;
  return TakeFrames(&frame, 1) == 1 ? AudioResult::kOk : AudioResult::kFailed;
}

uint32_t CPCMIn_FLAC::ReadFrames(int16_t* interleaved, uint32_t count) {
  if (decoder_ == nullptr || failed_) return 0;
  uint32_t done = 0;
  while (done < count) {
    if (readIndex_ == blockFrames_ && !DecodeBlock()) break;
    const uint32_t n = std::min(count - done, blockFrames_ - readIndex_);
    const PcmFrame* from = block_.get() + readIndex_;
    int16_t* to = interleaved + 2 * static_cast<size_t>(done);
    for (uint32_t i = 0; i < n; ++i) {
      to[2 * i] = from[i].left;
      to[2 * i + 1] = channels_ >= 2 ? from[i].right : 0;
    }
    readIndex_ += n;
    done += n;
  }
  return done;
}

AudioResult CPCMIn_FLAC::Rewind() {
  if (decoder_ == nullptr) return AudioResult::kFailed;
  // Resetting seeks back to the start through the callbacks; the metadata is
  // read again on the way to the first block.
  failed_ = !FLAC__stream_decoder_reset(decoder_);
  blockFrames_ = readIndex_ = 0;
  return failed_ ? AudioResult::kFailed : AudioResult::kOk;
}

AudioResult CPCMIn_FLAC::Close() {
  const bool wasOpen = file_ != kInvalidFile;
  if (decoder_ != nullptr) {
    FLAC__stream_decoder_delete(decoder_);
    decoder_ = nullptr;
  }
  if (wasOpen) file_close(file_);
  file_ = kInvalidFile;
  blockFrames_ = readIndex_ = 0;
  return wasOpen ? AudioResult::kOk : AudioResult::kFailed;
}

FLAC__StreamDecoderReadStatus CPCMIn_FLAC::OnRead(const FLAC__StreamDecoder*, FLAC__byte* buffer,
                                                  size_t* bytes, void* self) {
  *bytes = file_read_available(static_cast<CPCMIn_FLAC*>(self)->file_, buffer, *bytes);
  return *bytes > 0 ? FLAC__STREAM_DECODER_READ_STATUS_CONTINUE
                    : FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__StreamDecoderSeekStatus CPCMIn_FLAC::OnSeek(const FLAC__StreamDecoder*, FLAC__uint64 offset,
                                                  void* self) {
  if (offset > UINT32_MAX) return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
  return file_seek(static_cast<CPCMIn_FLAC*>(self)->file_, static_cast<uint32_t>(offset))
             ? FLAC__STREAM_DECODER_SEEK_STATUS_OK
             : FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
}

FLAC__StreamDecoderTellStatus CPCMIn_FLAC::OnTell(const FLAC__StreamDecoder*, FLAC__uint64* offset,
                                                  void* self) {
  const uint32_t position = file_tell(static_cast<CPCMIn_FLAC*>(self)->file_);
  if (position == UINT32_MAX) return FLAC__STREAM_DECODER_TELL_STATUS_ERROR;
  *offset = position;
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus CPCMIn_FLAC::OnLength(const FLAC__StreamDecoder*,
                                                      FLAC__uint64* length, void* self) {
  const uint32_t size = file_size(static_cast<CPCMIn_FLAC*>(self)->file_);
  if (size == UINT32_MAX) return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
  *length = size;
  return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool CPCMIn_FLAC::OnEof(const FLAC__StreamDecoder*, void* self) {
  const FileHandle file = static_cast<CPCMIn_FLAC*>(self)->file_;
  return file_tell(file) >= file_size(file);
}

FLAC__StreamDecoderWriteStatus CPCMIn_FLAC::OnWriteBlock(const FLAC__StreamDecoder*,
                                                         const FLAC__Frame* frame,
                                                         const FLAC__int32* const buffer[],
                                                         void* self) {
  auto* in = static_cast<CPCMIn_FLAC*>(self);
  const uint32_t n = std::min(frame->header.blocksize, kMaxBlockFrames);
  const FLAC__int32* left = buffer[0];
  const FLAC__int32* right = frame->header.channels >= 2 ? buffer[1] : buffer[0];
  for (uint32_t i = 0; i < n; ++i) {
    in->block_[i] = {static_cast<int16_t>(left[i]), static_cast<int16_t>(right[i])};
  }
  in->blockFrames_ = n;
  in->readIndex_ = 0;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void CPCMIn_FLAC::OnMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                             void* self) {
  if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
  auto* in = static_cast<CPCMIn_FLAC*>(self);
  const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
  in->channels_ = info.channels;
  in->sampleRateHz_ = info.sample_rate;
  in->bitsPerSample_ = info.bits_per_sample;
  in->statedFrames_ = info.total_samples;
  in->sawStreamInfo_ = true;
}

void CPCMIn_FLAC::OnError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* self) {
  static_cast<CPCMIn_FLAC*>(self)->failed_ = true;
}

}  // namespace tonvelo
