#pragma once
// The user's choices for one batch, copied into the conversion thread when it
// starts and persisted between runs by the front ends.

#include <string>

namespace tonvelo {

constexpr const char* kOutputPathNotSet = "Not set yet";
constexpr int kSustainOffsetMin = -200;
constexpr int kSustainOffsetMax = 200;
constexpr unsigned kSampleRate44100 = 44100;
constexpr unsigned kSampleRate48000 = 48000;
constexpr int kAudioFileWav = 0;
constexpr int kAudioFileMp3 = 1;
constexpr int kAudioFileFlac = 2;  // our own addition: lossless, about half a WAV's size
constexpr int kVelocityProfileFull = 0;        // "Full range (1-127)"
constexpr int kVelocityProfileDisklavier = 1;  // "Disklavier (30-95)"

struct ConversionSettings {
  int outputFormat = 0;               // catalogue id 0..11
  int prependFormatKey = 0;           // nonzero: output names start with key + "_"
  int audioFileType = kAudioFileWav;  // or kAudioFileMp3, kAudioFileFlac
  int outputPathMode = 0;             // 0 beside each source, 1 custom folder
  std::string customOutputFolder = kOutputPathNotSet;
  int sampleRateChoice = 0;     // 1 = 48000 Hz, anything else 44100 Hz
  int velocityProfile = 0;      // 0 full range (1-127), 1 Disklavier (30-95)
  int synthPropPedaling = 0;    // nonzero: always synthesise proportional pedaling
  int sustainTimingOffset = 0;  // kSustainOffsetMin..kSustainOffsetMax

  unsigned SampleRateHz() const {
    return sampleRateChoice == 1 ? kSampleRate48000 : kSampleRate44100;
  }
};

}  // namespace tonvelo
