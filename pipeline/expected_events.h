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

// How found events are paired with the expected ones: in order (a stream of
// messages keeps the song's order), or by what they are (the n-th note-on of
// a key with the n-th found), for families whose leads differ from event to
// event and so reorder events that lie close together.
enum class Pairing { kInOrder, kByKey };

struct FamilyRules {
  SignalFamily family;
  ExpectFunction expect;          // nullptr: events read back are not compared
  double timingToleranceSeconds;  // notes (and, paired in order, pedals)
  Pairing pairing;
  // Paired by key only: pedals compared as switches (down from 64), with a
  // tolerance of their own.
  double pedalToleranceSeconds;
  // 0: velocities compare exactly. Otherwise the loudness is one value per
  // half of the keyboard and frame, a mean over the keys struck around it: a
  // found note-on's velocity must lie within those of the notes expected this
  // close to it (after `heard`, when set, maps a velocity to what a track
  // can carry of it).
  double loudnessWindowSeconds;
  uint8_t (*heard)(uint8_t velocity);
};

// One row per signal family whose encoder's rules are known.
std::span<const FamilyRules> FamilyRuleTable();
const FamilyRules* FindFamilyRules(SignalFamily family);

// Track seconds per song second: 2 for a half-speed track, else 1.
double TrackSecondsPerSongSecond(int formatId);

// Reads the channel messages of an open song with their times; false when the
// reader reports damage.
[[nodiscard]] bool ReadSongEvents(CMusicFile2MID& reader, std::vector<SongEvent>& events);

// Notes (note-offs as 0x8n, velocity 0) and the switch pedals 64, 66, 67:
// what a comparison looks at.
std::vector<DecodedEvent> NotesAndPedals(const std::vector<DecodedEvent>& events);

}  // namespace tonvelo
