#pragma once
// Reading finished tracks back: load a WAV or MP3 track, find its data
// signal, compare it with the song it was made from, and write what it
// carries as a Standard MIDI File. The work behind `tonvelo verify` and
// `tonvelo decode`.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "decoders/decoded_track.h"
#include "framework/result.h"
#include "pipeline/conversion_settings.h"
#include "pipeline/expected_events.h"

namespace tonvelo {

struct TrackAudio {
  uint32_t sampleRateHz = 0;
  uint32_t channels = 0;
  std::vector<int16_t> left, right;  // right is empty for a mono track
};

// WAV by its RIFF header, FLAC by its "fLaC" mark, otherwise MP3. On failure returns false with a
// message.
[[nodiscard]] bool LoadTrack(const std::filesystem::path& path, TrackAudio& audio,
                             std::string& error);

DecodedTrack DecodeTrackAudio(const TrackAudio& audio);

struct Comparison {
  bool agree = false;
  size_t expectedEvents = 0;  // notes and pedals
  size_t foundEvents = 0;
  double largestTimingErrorSeconds = 0.0;
  double largestPedalErrorSeconds = -1.0;  // -1: pedals timed with the notes
  std::string firstDifference;             // empty when the events agree
};

// Compares the two lists under the family's rules, aligned on the scheduler's
// start (in order) or on the middle of the notes' offsets (by key);
// `expected` holds the encoder's events in seconds from the song's start.
Comparison CompareEvents(const std::vector<DecodedEvent>& expected, const DecodedTrack& found,
                         const FamilyRules& rules);

struct VerifyResult {
  Result result = Result::kSuccess;  // 3 unreadable track or song, 6 a fault in the data
  std::string report;                // lines for the user, each ending in "\n"
};

// One track's report; `againstSong` empty for none. The settings are those
// the track was made with (the velocity profile matters to the comparison).
VerifyResult VerifyTrack(const std::filesystem::path& track,
                         const std::filesystem::path& againstSong,
                         const ConversionSettings& settings);

// The events the format's encoder would send for a song; false when the song
// cannot be read or the format's rules are not known.
[[nodiscard]] bool ExpectedEventsFor(SignalFamily family, const std::filesystem::path& song,
                                     const ConversionSettings& settings,
                                     std::vector<DecodedEvent>& events);

// Decodes a track into a Standard MIDI File at `output`, or, when `output`
// ends in ".pc", a Pianocorder track's frames into a Pianocorder data file;
// the message says what was written or what went wrong.
Result DecodeTrackToFile(const std::filesystem::path& track, const std::filesystem::path& output,
                         std::string& message);

// Notes (note-ons with a velocity) in a decoded track.
size_t CountNotes(const DecodedTrack& track);

}  // namespace tonvelo
