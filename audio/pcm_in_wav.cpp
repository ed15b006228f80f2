#include "audio/pcm_in_wav.h"

namespace tonvelo {
namespace {

AudioResult ToAudio(WaveResult r) {
  return r == WaveResult::kOk ? AudioResult::kOk : AudioResult::kFailed;
}

}  // namespace

CPCMIn_WAV::~CPCMIn_WAV() { Close(); }

AudioResult CPCMIn_WAV::Open(const std::filesystem::path& path) {
  if (wave_.OpenRead(path) != WaveResult::kOk) return AudioResult::kFailed;
  lengthFrames_ = wave_.GetFrameCount();
  channels_ = wave_.GetChannels();
  sampleRateHz_ = wave_.GetSampleRate();
  bitsPerSample_ = wave_.GetBitsPerSample();
  return AudioResult::kOk;
}

AudioResult CPCMIn_WAV::ReadFrame(PcmFrame& frame) { return ToAudio(wave_.ReadFrame(frame)); }

uint32_t CPCMIn_WAV::ReadFrames(int16_t* interleaved, uint32_t count) {
  return wave_.ReadFrames(interleaved, count);
}

AudioResult CPCMIn_WAV::Rewind() { return ToAudio(wave_.SeekFrame(0)); }

AudioResult CPCMIn_WAV::Close() { return ToAudio(wave_.Finish()); }

}  // namespace tonvelo
