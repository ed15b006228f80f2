#include "audio/pcm_out_null.h"

namespace tonvelo {

AudioResult CPCMOut_NULL::OpenFile(const std::filesystem::path& /*path*/, uint32_t /*sampleRateHz*/,
                                   const std::string& /*title*/,
                                   const std::filesystem::path& /*tagsPath*/,
                                   bool /*highQuality*/) {
  return AudioResult::kOk;
}

AudioResult CPCMOut_NULL::PutFrames(const int16_t* /*interleaved*/, uint32_t /*count*/) {
  return AudioResult::kOk;
}

AudioResult CPCMOut_NULL::Close() { return AudioResult::kOk; }

}  // namespace tonvelo
