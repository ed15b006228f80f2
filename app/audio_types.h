#pragma once
// The audio file types the dialog offers, one row each: the radio button's
// label and the value the conversion settings carry. A new output type is one
// more row here; the dialog and the settings store both read this table.

#include <array>

#include "pipeline/conversion_settings.h"

namespace tonvelo {

struct AudioTypeRow {
  int value;           // ConversionSettings::audioFileType
  const char* label;   // radio button text
  const char* object;  // the radio button's object name
};

// clang-format off
constexpr std::array<AudioTypeRow, 3> kAudioTypes{{
  // value          label   object name
  { kAudioFileWav, "WAV", "wavRadio" },
  { kAudioFileMp3, "MP3", "mp3Radio" },
  { kAudioFileFlac, "FLAC", "flacRadio" },
}};
// clang-format on

}  // namespace tonvelo
