#pragma once
// Writes decoded events as a Standard MIDI File: format 0, one track, 480
// ticks per quarter at 120 beats per minute, so a tick is 1/960 s.

#include <cstdint>
#include <filesystem>
#include <vector>

#include "decoders/decoded_track.h"

namespace tonvelo {

constexpr uint16_t kSmfTicksPerQuarter = 480;
constexpr uint32_t kSmfMicrosPerQuarter = 500000;

// The file's bytes: channel messages at their times (in time order), then
// the end of the track.
std::vector<uint8_t> BuildSmf(const std::vector<DecodedEvent>& events);

// Writes through a temporary name and renames, so a failure leaves no file
// and an older file of that name intact; false on any failure.
[[nodiscard]] bool WriteFileAtomically(const std::filesystem::path& path,
                                       const std::vector<uint8_t>& bytes);

}  // namespace tonvelo
