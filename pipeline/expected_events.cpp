#include "pipeline/expected_events.h"

#include "decoders/midi_serial_decoder.h"
#include "encoders/mid2disklavier.h"
#include "encoders/velocity_expansion.h"

namespace tonvelo {

namespace {

constexpr uint8_t kPercussionChannel = 9;

bool IsSwitchPedal(uint8_t controller) {
  return controller == 64 || controller == 66 || controller == 67;
}

// Channels play as channel 0 unless a program change to a non-piano program
// has taken them out; percussion never merges.
struct MergeFlags {
  bool merged[16] = {true, true,  true, true, true, true, true, true,
                     true, false, true, true, true, true, true, true};
  void Program(uint8_t channel, uint8_t program) {
    if (channel != kPercussionChannel) merged[channel] = program < 8;
  }
};

// Pedals go out on a change of state only, as 0 or 127.
struct SwitchState {
  bool on[4] = {};
  bool Pass(uint8_t controller, uint8_t& value) {
    bool& state = on[controller - 64];
    const bool want = value >= 64;
    if (want == state) return false;
    state = want;
    value = want ? 127 : 0;
    return true;
  }
};

// The song's events and the pedal channels the encoders choose.
struct SongChannels {
  std::vector<SongEvent> events;
  uint8_t sustain = 0;
  uint8_t soft = 0;
};

SongChannels Analyse(SongContext& context) {
  SongChannels c;
  c.sustain = context.song.FindSustainChannel();
  c.soft = context.song.FindSoftChannel();
  if (!ReadSongEvents(context.song, c.events)) c.events.clear();
  return c;
}

DecodedEvent Event(const SongEvent& e, uint8_t status, uint8_t d1, uint8_t d2) {
  return {e.timeSeconds, status, d1, d2};
}

std::vector<DecodedEvent> ExpectDisklavier(SongContext& context) {
  SongChannels c0 = Analyse(context);
  const std::vector<SongEvent>& song = c0.events;
  const uint8_t sustain = c0.sustain, soft = c0.soft;
  const int profile = context.velocityProfile;
  std::vector<DecodedEvent> out;
  MergeFlags merge;
  const bool remap = profile == 0;
  for (const SongEvent& e : song) {
    const uint8_t c = e.status & 0x0F, kind = e.status & 0xF0;
    if (kind == 0xD0 || kind == 0xF0 || (kind == 0xA0 && remap)) continue;
    if (kind == 0xC0) {
      const uint8_t program = c <= 2 ? 0 : e.data1;
      merge.Program(c, program);
      out.push_back(Event(e, e.status, program, 0));
      continue;
    }
    if (!merge.merged[c]) {
      out.push_back(Event(e, e.status, e.data1, e.data2));
      continue;
    }
    uint8_t d2 = e.data2;
    if (kind == 0x90 && remap) d2 = CMid2Disklavier::MapVelocity(d2);
    if (kind == 0xB0 && ((e.data1 == 64 && c != sustain) || (e.data1 == 67 && c != soft))) continue;
    out.push_back(Event(e, kind, e.data1, d2));
  }
  return out;
}

std::vector<DecodedEvent> ExpectMidiSerial(SongContext& context) {
  SongChannels c0 = Analyse(context);
  const std::vector<SongEvent>& song = c0.events;
  const uint8_t sustain = c0.sustain, soft = c0.soft;
  const int profile = context.velocityProfile;
  // The set-up ends with a silent note (sent on channel 15, which is merged).
  std::vector<DecodedEvent> out = {{kBeforeMusic, 0x90, 0, 0}};
  MergeFlags merge;
  SwitchState pedals;
  for (const SongEvent& e : song) {
    uint8_t c = e.status & 0x0F;
    const uint8_t kind = e.status & 0xF0;
    if (kind == 0x80 || kind == 0x90) {
      uint8_t velocity = kind == 0x80 ? 0 : e.data2;
      if (merge.merged[c]) {
        c = 0;
        if (profile == 1 && velocity != 0) velocity = ExpandVelocity(velocity);
      }
      const uint8_t code = velocity == 0 ? 0 : velocity < 16 ? 1 : velocity >> 3;
      out.push_back(Event(e, 0x90 | c, e.data1 & 0x7F, MidiSerialVelocity(code)));
    } else if (kind == 0xB0) {
      const uint8_t cc = e.data1;
      if (cc != 7 && !IsSwitchPedal(cc) && (cc < 102 || cc > 108)) continue;
      if ((cc == 64 && c != sustain) || (cc == 67 && c != soft)) continue;
      uint8_t value = e.data2;
      if (IsSwitchPedal(cc) && !pedals.Pass(cc, value)) continue;
      out.push_back(Event(e, merge.merged[c] ? 0xB0 : e.status, cc, value));
    } else if (kind == 0xC0) {
      merge.Program(c, e.data1);
      out.push_back(Event(e, e.status, e.data1, 0));
    }
  }
  return out;
}

std::vector<DecodedEvent> ExpectPianoDisc(SongContext& context) {
  SongChannels c0 = Analyse(context);
  const std::vector<SongEvent>& song = c0.events;
  const uint8_t sustain = c0.sustain, soft = c0.soft;
  const int profile = context.velocityProfile;
  std::vector<DecodedEvent> out;
  MergeFlags merge;
  SwitchState pedals;
  for (const SongEvent& e : song) {
    const uint8_t c = e.status & 0x0F, kind = e.status & 0xF0;
    if (kind == 0xA0 || kind == 0xD0 || kind == 0xE0 || kind == 0xF0) continue;
    if (kind == 0xB0 && e.data1 != 7 && !IsSwitchPedal(e.data1)) continue;
    if (kind == 0xC0 && c != kPercussionChannel) {
      merge.Program(c, e.data1);
      out.push_back(Event(e, e.status, e.data1, 0));
      continue;
    }
    uint8_t status = e.status, d2 = e.data2;
    if (merge.merged[c]) {
      status = kind;
      if (kind == 0x90 && d2 > 0 && profile != 0) d2 = ExpandVelocity(d2);
      if (kind == 0xB0 && ((e.data1 == 64 && c != sustain) || (e.data1 == 67 && c != soft))) {
        continue;
      }
    }
    if (kind == 0xB0 && IsSwitchPedal(e.data1) && !pedals.Pass(e.data1, d2)) continue;
    out.push_back(Event(e, status, e.data1, d2));
  }
  // The music ends with sustain, sostenuto and soft pedal off.
  const double end = song.empty() ? 0.0 : song.back().timeSeconds;
  for (uint8_t pedal : {64, 66, 67}) out.push_back({end, 0xB0, pedal, 0});
  return out;
}

// clang-format off
constexpr FamilyRules kRules[] = {
  //  family                      expect              timing tolerance
  {SignalFamily::kDisklavier,   &ExpectDisklavier,  0.004},
  {SignalFamily::kMidiSerial,   &ExpectMidiSerial,  0.010},
  {SignalFamily::kPianoDisc,    &ExpectPianoDisc,   0.010},
};
// clang-format on

}  // namespace

std::span<const FamilyRules> FamilyRuleTable() { return kRules; }

const FamilyRules* FindFamilyRules(SignalFamily family) {
  for (const FamilyRules& row : kRules) {
    if (row.family == family) return &row;
  }
  return nullptr;
}

bool ReadSongEvents(CMusicFile2MID& reader, std::vector<SongEvent>& events) {
  if (reader.Rewind() != OpenResult::kOpened) return false;
  const double division = reader.GetDivision();
  double micros = 0.0;
  MusicEvent ev;
  for (;;) {
    const ReadResult r = reader.ReadEvent(ev);
    if (r == ReadResult::kEnd) return true;
    if (r != ReadResult::kEvent) return false;
    micros += static_cast<double>(ev.delta) * ev.tempo;
    if (ev.kind != kEventChannel || ev.status < 0x80) continue;
    const double seconds = micros / (division * 1e6);
    events.push_back({seconds, ev.status, ev.length > 0 ? ev.data[0] : uint8_t{0},
                      ev.length > 1 ? ev.data[1] : uint8_t{0}});
  }
}

std::vector<DecodedEvent> NotesAndPedals(const std::vector<DecodedEvent>& events) {
  std::vector<DecodedEvent> out;
  for (DecodedEvent e : events) {
    const uint8_t kind = e.status & 0xF0;
    if (kind == 0x80 || (kind == 0x90 && e.data2 == 0)) {
      e.status = static_cast<uint8_t>(0x80 | (e.status & 0x0F));
      e.data2 = 0;
    } else if (kind != 0x90 && !(kind == 0xB0 && IsSwitchPedal(e.data1))) {
      continue;
    }
    out.push_back(e);
  }
  return out;
}

}  // namespace tonvelo
