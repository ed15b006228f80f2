#include "audio/pcm_out_flac.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/tags_file.h"

namespace tonvelo {

CPCMOut_FLAC::~CPCMOut_FLAC() { Close(); }

AudioResult CPCMOut_FLAC::OpenFile(const std::filesystem::path& path, uint32_t sampleRateHz,
                                   const std::string& title, const std::filesystem::path& tagsPath,
                                   bool /*highQuality*/) {
  Close();
  encoder_ = FLAC__stream_encoder_new();
  if (encoder_ == nullptr || !BuildComments(tagsPath, title) || !file_open_write(path, file_)) {
    Close();
    return AudioResult::kFailed;
  }
  FLAC__StreamMetadata* blocks[1] = {comments_};
  const bool configured = FLAC__stream_encoder_set_channels(encoder_, 2) &&
                          FLAC__stream_encoder_set_bits_per_sample(encoder_, 16) &&
                          FLAC__stream_encoder_set_sample_rate(encoder_, sampleRateHz) &&
                          FLAC__stream_encoder_set_compression_level(encoder_, kCompressionLevel) &&
                          FLAC__stream_encoder_set_metadata(encoder_, blocks, 1);
  // The seek and tell callbacks let the encoder go back and complete
  // STREAMINFO with the length and the MD5 of the audio.
  if (!configured ||
      FLAC__stream_encoder_init_stream(encoder_, OnWrite, OnSeek, OnTell, nullptr, this) !=
          FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    Close();
    return AudioResult::kFailed;
  }
  bufferedFrames_ = 0;
  return AudioResult::kOk;
}

bool CPCMOut_FLAC::BuildComments(const std::filesystem::path& tagsPath, const std::string& title) {
  comments_ = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
  if (comments_ == nullptr) return false;
  std::vector<std::string> fields;
  if (!tags_file_read_fields(tagsPath, fields)) fields.push_back("TIT2=" + title);
  for (const std::string& field : fields) {
    const char* name = nullptr;
    for (const VorbisFieldMap& row : kVorbisFields) {
      if (field.compare(0, 4, row.frameId) == 0) name = row.name;
    }
    if (name == nullptr) continue;  // no Vorbis counterpart
    std::string value = field.substr(5);
    // An ID3 comment line reads "description=text"; the text is the comment.
    if (std::strcmp(name, "COMMENT") == 0 && value.find('=') != std::string::npos) {
      value.erase(0, value.find('=') + 1);
    }
    std::u16string unused;
    if (!tags_utf8_to_utf16(value, unused)) value = tags_latin1_to_utf8(value);
    FLAC__StreamMetadata_VorbisComment_Entry entry;
    if (value.empty() || !FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(
                             &entry, name, value.c_str())) {
      continue;
    }
    if (!FLAC__metadata_object_vorbiscomment_replace_comment(comments_, entry, true, false)) {
      std::free(entry.entry);
      return false;
    }
  }
  return true;
}

AudioResult CPCMOut_FLAC::AppendFrames(const int16_t* interleaved, uint32_t frameCount) {
  if (encoder_ == nullptr || file_ == kInvalidFile) return AudioResult::kFailed;
  for (uint32_t i = 0; i < frameCount; ++i) {
    block_[2 * bufferedFrames_] = interleaved[2 * i];
    block_[2 * bufferedFrames_ + 1] = interleaved[2 * i + 1];
    if (++bufferedFrames_ == kBlockFrames && !EncodeBlock()) return AudioResult::kFailed;
  }
  return AudioResult::kOk;
}

bool CPCMOut_FLAC::EncodeBlock() {
  const bool ok = FLAC__stream_encoder_process_interleaved(encoder_, block_, bufferedFrames_);
  bufferedFrames_ = 0;  // one failure loses the block, as with MP3
  return ok;
}

FLAC__StreamEncoderWriteStatus CPCMOut_FLAC::OnWrite(const FLAC__StreamEncoder*,
                                                     const FLAC__byte* data, size_t bytes, uint32_t,
                                                     uint32_t, void* self) {
  return file_write(static_cast<CPCMOut_FLAC*>(self)->file_, data, bytes)
             ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
             : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus CPCMOut_FLAC::OnSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                                   void* self) {
  if (offset > UINT32_MAX) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
  return file_seek(static_cast<CPCMOut_FLAC*>(self)->file_, static_cast<uint32_t>(offset))
             ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
             : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus CPCMOut_FLAC::OnTell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                                   void* self) {
  const uint32_t position = file_tell(static_cast<CPCMOut_FLAC*>(self)->file_);
  if (position == UINT32_MAX) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
  *offset = position;
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

AudioResult CPCMOut_FLAC::Close() {
  bool ok = true;
  if (encoder_ != nullptr) {
    if (FLAC__stream_encoder_get_state(encoder_) == FLAC__STREAM_ENCODER_OK) {
      if (bufferedFrames_ > 0) ok = EncodeBlock();
      // Finishing writes the last frame and completes STREAMINFO; it reports
      // any failure met since the stream began.
      ok = FLAC__stream_encoder_finish(encoder_) && ok;
    } else {
      ok = false;  // a block was lost to a failed write or encode
    }
    FLAC__stream_encoder_delete(encoder_);
    encoder_ = nullptr;
  }
  if (comments_ != nullptr) {
    FLAC__metadata_object_delete(comments_);
    comments_ = nullptr;
  }
  if (file_ != kInvalidFile) {
    if (!file_close(file_)) ok = false;
    file_ = kInvalidFile;
  }
  bufferedFrames_ = 0;
  return ok ? AudioResult::kOk : AudioResult::kFailed;
}

}  // namespace tonvelo
