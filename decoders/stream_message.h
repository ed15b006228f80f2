#pragma once
// A MIDI message as it was found in a serial byte stream, with where it lies
// in the signal. The families that carry MIDI bytes (Disklavier, MIDI-serial,
// PianoDisc) report their messages in this form beside the common record.

#include <cstdint>
#include <string>
#include <vector>

#include "decoders/decoded_track.h"

namespace tonvelo {

struct StreamMessage {
  uint32_t startSample = 0;  // first sample of its first symbol
  uint32_t endSample = 0;    // one past its last symbol
  uint32_t firstUnit = 0;    // index of its first symbol (or half-cycle)
  uint32_t endUnit = 0;      // one past its last
  int syncs = 0;             // MIDI-serial: sync symbols before it
  bool statusSent = true;    // false: running status
  // As MIDI: the status (also when running), then the data bytes; a system
  // exclusive message from F0 to F7. MIDI-serial keeps the bytes as sent,
  // since its short note forms are not MIDI.
  std::vector<uint8_t> bytes;
};

// Bytes as "F0 7E 7F".
std::string HexBytes(const std::vector<uint8_t>& bytes);

// Appends the common record's event for a channel message (notes, controllers,
// program changes and the rest); other messages add nothing.
void AddChannelEvent(const StreamMessage& m, uint32_t sampleRateHz, DecodedTrack& track);

void AddIssue(double timeSeconds, std::string text, DecodedTrack& track);

// How far a byte stream kept its rules: 1 with no errors among its messages,
// 0 with no message read or as many errors as messages. A steady tone can
// look like a clean signal; only a stream that parses is data.
double StreamValidity(size_t messages, size_t errors);

}  // namespace tonvelo
