#pragma once
// Reads a MIDI-serial data signal back (QRS Pianomation MIDI, Baldwin
// ConcertMaster): symbols at 3425 per second, a one-unit pulse of alternating
// sign for 0, one sine cycle for 1, a two-unit pulse for the sync symbol.
// Three syncs start a full MIDI message, one sync a note in the short form
// (channel and 4-bit velocity code, note), and after such a note a single
// byte gives the next note as a step from it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoders/decoded_track.h"
#include "decoders/stream_message.h"

namespace tonvelo {

constexpr uint32_t kMidiSerialSymbolRate = 3425;

struct MidiSerialDetail {
  // The messages as sent: after three syncs the MIDI message, after one the
  // two bytes of a short note, with none the one byte of a chained note.
  std::vector<StreamMessage> messages;
  uint32_t symbols = 0;
  uint32_t doubtfulSymbols = 0;  // lobes too long for a symbol or off the grid by a fifth of a unit
};

// The velocity a 4-bit code stands for: the middle of the velocities that
// give the code (0 is a note off).
uint8_t MidiSerialVelocity(uint8_t code);

DecodedTrack DecodeMidiSerial(const int16_t* samples, size_t count, uint32_t sampleRateHz);
DecodedTrack DecodeMidiSerial(const int16_t* samples, size_t count, uint32_t sampleRateHz,
                              MidiSerialDetail* detail);

}  // namespace tonvelo
