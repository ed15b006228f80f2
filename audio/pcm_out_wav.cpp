#include "audio/pcm_out_wav.h"

namespace tonvelo {

CPCMOut_WAV::~CPCMOut_WAV() { Close(); }

AudioResult CPCMOut_WAV::OpenFile(const std::filesystem::path& path, uint32_t sampleRateHz,
                                  const std::string& /*title*/,
                                  const std::filesystem::path& /*tagsPath*/, bool /*highQuality*/) {
  return wave_.OpenWrite(path, sampleRateHz, 16, 2) == WaveResult::kOk ? AudioResult::kOk
                                                                       : AudioResult::kFailed;
}

AudioResult CPCMOut_WAV::PutFrames(const int16_t* interleaved, uint32_t count) {
  return wave_.WriteFrames(interleaved, count) == WaveResult::kOk ? AudioResult::kOk
                                                                  : AudioResult::kFailed;
}

AudioResult CPCMOut_WAV::Close() {
  return wave_.Finish() == WaveResult::kOk ? AudioResult::kOk : AudioResult::kFailed;
}

}  // namespace tonvelo
