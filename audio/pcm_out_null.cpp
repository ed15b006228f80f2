#include "audio/pcm_out_null.h"

namespace tonvelo {

AudioResult CPCMOut_NULL::OpenFile(const std::filesystem::path& /*path*/, uint32_t /*sampleRateHz*/,
                                   const std::string& /*title*/,
                                   const std::filesystem::path& /*tagsPath*/,
                                   bool /*highQuality*/) {
  return AudioResult::kOk;
}

AudioResult CPCMOut_NULL::PutFrame(int16_t /*left*/, int16_t /*right*/) { return AudioResult::kOk; }

AudioResult CPCMOut_NULL::Close() { return AudioResult::kOk; }

}  // namespace tonvelo
