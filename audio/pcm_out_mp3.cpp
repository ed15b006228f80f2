#include "audio/pcm_out_mp3.h"

#include <algorithm>
#include <cstdarg>
#include <vector>

#include "audio/tags_file.h"

namespace tonvelo {
namespace {

// The core never prints; the library's messages are dropped.
void Quiet(const char* /*format*/, va_list /*args*/) {}

}  // namespace

CPCMOut_MP3::~CPCMOut_MP3() { Close(); }

AudioResult CPCMOut_MP3::OpenFile(const std::filesystem::path& path, uint32_t sampleRateHz,
                                  const std::string& title, const std::filesystem::path& tagsPath,
                                  bool highQuality) {
  Close();
  lame_ = lame_init();
  if (lame_ == nullptr || !file_open_write(path, file_)) {
    Close();
    return AudioResult::kFailed;
  }
  Configure(sampleRateHz, highQuality);
  SetTagFields(tagsPath, title);
  id3tag_v2_only(lame_);
  // The tag is written by us, at the start and again at close, never by the
  // encoder into the stream.
  lame_set_write_id3tag_automatic(lame_, 0);
  if (lame_init_params(lame_) < 0) {
    Close();
    return AudioResult::kFailed;
  }
  // A tag larger than the buffer is reported with its size but not copied.
  tagBytes_ = lame_get_id3v2_tag(lame_, encoded_, sizeof encoded_);
  if (tagBytes_ == 0 || tagBytes_ > sizeof encoded_ || !file_write(file_, encoded_, tagBytes_)) {
    Close();
    return AudioResult::kFailed;
  }
  bufferedFrames_ = 0;
  return AudioResult::kOk;
}

void CPCMOut_MP3::Configure(uint32_t sampleRateHz, bool highQuality) {
  lame_set_errorf(lame_, Quiet);
  lame_set_debugf(lame_, Quiet);
  lame_set_msgf(lame_, Quiet);
  // Plain stereo: the data channel must not leak into the accompaniment
  // through joint or mid/side coding. Values the encoder rejects surface in
  // lame_init_params.
  lame_set_mode(lame_, STEREO);
  lame_set_num_channels(lame_, 2);
  lame_set_in_samplerate(lame_, static_cast<int>(sampleRateHz));
  lame_set_out_samplerate(lame_, static_cast<int>(sampleRateHz));
  lame_set_VBR(lame_, vbr_off);
  lame_set_bWriteVbrTag(lame_, 0);
  lame_set_brate(lame_, kBitrateKbps);
  lame_set_quality(lame_, highQuality ? kQualityHigh : kQualityFast);
  lame_set_findReplayGain(lame_, 0);
  lame_set_copyright(lame_, 0);
  lame_set_original(lame_, 1);
  lame_set_asm_optimizations(lame_, MMX, 1);
  id3tag_init(lame_);
}

void CPCMOut_MP3::SetTagFields(const std::filesystem::path& tagsPath, const std::string& title) {
  std::vector<std::string> fields;
  if (!tags_file_read_fields(tagsPath, fields)) {
    std::string field = "TIT2=" + title;
    if (field.size() > kTitleFieldBytes - 1) {
      // At most 511 bytes, and never half a character: a sequence cut in two
      // would make the whole title unreadable as UTF-8.
      size_t keep = kTitleFieldBytes - 1;
      if (!tags_is_ascii(title)) {
        while (keep > 0 && (static_cast<unsigned char>(field[keep]) & 0xC0) == 0x80) --keep;
      }
      field.resize(keep);
    }
    fields.push_back(std::move(field));
  }
  fields.emplace_back("TFLT=MPG/3");
  for (const std::string& field : fields) SetTagField(field);
}

void CPCMOut_MP3::SetTagField(const std::string& field) {
  std::u16string text;
  if (tags_is_ascii(field) || !tags_utf8_to_utf16(field, text)) {
    // Plain bytes, as they always were; text that is not UTF-8 has no
    // better form to take.
    id3tag_set_fieldvalue(lame_, field.c_str());
    return;
  }
  // The library wants a byte-order mark ahead of the frame id.
  text.insert(text.begin(), u'\xFEFF');
  static_assert(sizeof(char16_t) == sizeof(unsigned short));
  id3tag_set_fieldvalue_utf16(lame_, reinterpret_cast<const unsigned short*>(text.c_str()));
}

bool CPCMOut_MP3::WriteEncoded(int byteCount) {
  if (byteCount < 0) return false;
  return byteCount == 0 || file_write(file_, encoded_, static_cast<size_t>(byteCount));
}

bool CPCMOut_MP3::EncodeBlock() {
  const int n = lame_encode_buffer(lame_, left_, right_, static_cast<int>(bufferedFrames_),
                                   encoded_, static_cast<int>(sizeof encoded_));
  // One failure loses the block: the buffer starts afresh either way.
  bufferedFrames_ = 0;
  return WriteEncoded(n);
}

AudioResult CPCMOut_MP3::PutFrames(const int16_t* interleaved, uint32_t count) {
  if (lame_ == nullptr || file_ == kInvalidFile) return AudioResult::kFailed;
  while (count > 0) {
    const uint32_t n = std::min(count, kBlockFrames - bufferedFrames_);
    int16_t* left = left_ + bufferedFrames_;
    int16_t* right = right_ + bufferedFrames_;
    for (uint32_t i = 0; i < n; ++i) {
      left[i] = interleaved[2 * i];
      right[i] = interleaved[2 * i + 1];
    }
    interleaved += 2 * n;
    count -= n;
    bufferedFrames_ += n;
    // Blocks of exactly kBlockFrames keep the stream what frame-by-frame
    // feeding made of it.
    if (bufferedFrames_ == kBlockFrames && !EncodeBlock()) return AudioResult::kFailed;
  }
  return AudioResult::kOk;
}

AudioResult CPCMOut_MP3::Close() {
  bool ok = true;
  if (file_ != kInvalidFile && lame_ != nullptr) {
    if (bufferedFrames_ > 0) ok = EncodeBlock();
    // Between the last block and the flush an encoder call with 2 (doubled
    // frames) or 1 has its place. We make none: the encoder has already been
    // given every stored sample, doubled ones included, and a setting changed
    // after lame_init_params could alter the stream or the tag, whose length
    // must stay what was written at open.
    if (ok) ok = WriteEncoded(lame_encode_flush(lame_, encoded_, sizeof encoded_));
    if (ok) {
      // The tag goes back over the first bytes of the file: it must be
      // exactly as long as the one written there at open.
      const size_t tagBytes = lame_get_id3v2_tag(lame_, encoded_, sizeof encoded_);
      ok = tagBytes == tagBytes_ && file_seek(file_, 0) && file_write(file_, encoded_, tagBytes);
    }
  }
  if (lame_ != nullptr) {
    lame_close(lame_);
    lame_ = nullptr;
  }
  if (file_ != kInvalidFile) {
    // Delayed write errors (network file systems) surface here.
    if (!file_close(file_)) ok = false;
    file_ = kInvalidFile;
  }
  bufferedFrames_ = 0;
  tagBytes_ = 0;
  return ok ? AudioResult::kOk : AudioResult::kFailed;
}

}  // namespace tonvelo
