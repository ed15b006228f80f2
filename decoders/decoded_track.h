#pragma once
// What a data signal carried, read back from one channel of a track. Every
// signal family's decoder fills the same record, so detection, `verify` and
// `decode` treat all formats alike; a family adds its own detail (frames with
// their check results, raw MIDI bytes) in a record of its own beside this one.

#include <cstdint>
#include <string>
#include <vector>

namespace tonvelo {

enum class SignalFamily {
  kNone,
  kDisklavier,         // id 8
  kMidiSerial,         // id 7
  kPianoDisc,          // ids 4 and 5
  kLX,                 // ids 0, 1, 6 and 9
  kPianocorder,        // ids 2 and 3
  kCassetteConverter,  // ids 10 and 11
};

// One musical effect of the signal at the time the piano would act on it, as
// a MIDI channel message: note on (0x9n, velocity 0 for off) and off (0x8n),
// controller (0xBn: 64 sustain, 66 sostenuto, 67 soft, ...), program change
// (0xCn, data2 unused).
struct DecodedEvent {
  double timeSeconds = 0.0;
  uint8_t status = 0;
  uint8_t data1 = 0;
  uint8_t data2 = 0;
};

// Something in the signal that did not follow the format: a failed check, a
// framing error, a symbol that could not be read.
struct DecodeIssue {
  double timeSeconds = 0.0;
  std::string text;
};

struct DecodedTrack {
  SignalFamily family = SignalFamily::kNone;
  int formatId = -1;        // the catalogue id that best fits what was found
  int dataChannel = -1;     // 0 left, 1 right; -1 when no data signal was found
  double confidence = 0.0;  // 0..1: how sure detection is that this is the format
  double dataStartSeconds = 0.0;
  double dataEndSeconds = 0.0;
  uint32_t unitsDecoded = 0;         // MIDI messages or frames read
  std::vector<DecodedEvent> events;  // in time order
  std::vector<DecodeIssue> errors;   // in time order
};

}  // namespace tonvelo
