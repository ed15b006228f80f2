#pragma once
// What a track made from a song should carry: the song's notes and pedals
// with the rules of the format's encoder applied (merged channels, velocity
// maps, filtered controllers), for comparing with what a track decodes to.

#include <cstdint>
#include <span>
#include <vector>

#include "decoders/decoded_track.h"
#include "pipeline/conversion_settings.h"
#include "readers/music_file.h"

namespace tonvelo {

// Song events (channel messages only) in seconds from the song's start.
struct SongEvent {
  double timeSeconds = 0.0;
  uint8_t status = 0;
  uint8_t data1 = 0;
  uint8_t data2 = 0;
};

// The time of events an encoder sends before the music (its set-up).
constexpr double kBeforeMusic = -1.0;

// The events an encoder would send for an open song with these settings, as
// its family's decoder reports them, in seconds from the song's start.
// `velocityProfile` is the one the conversion gives the encoder (ESEQ songs
// always use the Disklavier range).
struct SongContext {
  CMusicFile2MID& song;
  const ConversionSettings& settings;
  int velocityProfile;
};
using ExpectFunction = std::vector<DecodedEvent> (*)(SongContext& context);

struct FamilyRules {
  SignalFamily family;
  ExpectFunction expect;          // nullptr: events read back are not compared
  double timingToleranceSeconds;  // one message on the line plus the scheduler's early release
};

// One row per signal family whose encoder's rules are known.
std::span<const FamilyRules> FamilyRuleTable();
const FamilyRules* FindFamilyRules(SignalFamily family);

// Reads the channel messages of an open song with their times; false when the
// reader reports damage.
[[nodiscard]] bool ReadSongEvents(CMusicFile2MID& reader, std::vector<SongEvent>& events);

// Notes (note-offs as 0x8n, velocity 0) and the switch pedals 64, 66, 67:
// what a comparison looks at.
std::vector<DecodedEvent> NotesAndPedals(const std::vector<DecodedEvent>& events);

}  // namespace tonvelo
