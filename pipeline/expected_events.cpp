#include "pipeline/expected_events.h"

#include <algorithm>
#include <cmath>

#include "decoders/lx_decoder.h"
#include "decoders/midi_serial_decoder.h"
#include "decoders/pianocorder_decoder.h"
#include "encoders/lx/lx_format.h"
#include "encoders/lx/mid2lx.h"
#include "encoders/mid2disklavier.h"
#include "encoders/pianocorder/frame_schedule.h"
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

void SortByTime(std::vector<DecodedEvent>& events) {
  std::stable_sort(events.begin(), events.end(), [](const DecodedEvent& a, const DecodedEvent& b) {
    return a.timeSeconds < b.timeSeconds;
  });
}

// Drops a pedal's presses (or lifts) shorter than `shortest` together with
// the change that ends them: the encoder leaves no trace of them.
void DropShortSwitches(std::vector<DecodedEvent>& pedal, double shortest) {
  std::vector<DecodedEvent> kept;
  for (size_t i = 0; i < pedal.size(); ++i) {
    if (i + 1 < pedal.size() && pedal[i + 1].timeSeconds - pedal[i].timeSeconds < shortest) {
      ++i;
      continue;
    }
    kept.push_back(pedal[i]);
  }
  pedal = std::move(kept);
}

// A pedal's switch changes: changes at one time merge (the last wins).
void AddSwitch(std::vector<DecodedEvent>& list, double t, uint8_t controller, bool down) {
  if (!list.empty() && list.back().timeSeconds == t) list.pop_back();
  const bool before = !list.empty() && list.back().data2 != 0;
  if (down != before) list.push_back({t, 0xB0, controller, uint8_t(down ? 127 : 0)});
}

// LX family: notes of keys 12..108 from enabled channels (a channel drops out
// on a non-piano program, its events with it), on the 1.25 ms tick after
// their time; a note-on's velocity is what its strike value reads back as;
// sostenuto as records of key 0. Sustain and soft travel as level curves: the
// comparison reads them as switches, down from half travel. Changes at one
// tick merge. A sustain change becomes a ramp of up to 120 ticks ending at its
// tick (a lift is a step), smoothed on 10 ms samples, so a lift or press of
// less than two samples leaves no trace; a soft change becomes a ramp of 170
// ticks centred 24 ticks early, smoothed on 20 ms samples, and a soft lift or
// press shorter than 250 ticks vanishes. The smoothing's delay is the lead
// below.
constexpr double kLXSustainDelaySeconds = 0.025;
constexpr double kLXSoftDelaySeconds = 0.025;
constexpr double kLXShortestSustain = 16.0 / kLXTicksPerSecond;
constexpr double kLXShortestSoft = 250.0 / kLXTicksPerSecond;
constexpr double kLXSoftShift = -24.0 / kLXTicksPerSecond;

std::vector<DecodedEvent> ExpectLX(SongContext& context) {
  SongChannels c0 = Analyse(context);
  const bool disklavierRange = context.velocityProfile == 1;
  std::vector<DecodedEvent> out, sustain, soft;
  MergeFlags merge;
  bool held[128] = {};
  const auto tick = [](double t) {
    return std::ceil(t * kLXTicksPerSecond - 1e-9) / kLXTicksPerSecond;
  };
  for (const SongEvent& e : c0.events) {
    const uint8_t c = e.status & 0x0F, kind = e.status & 0xF0, key = e.data1 & 0x7F;
    const double t = tick(e.timeSeconds);
    if (kind == 0xC0) merge.Program(c, e.data1);
    if (kind == 0xC0 || !merge.merged[c]) continue;
    const bool sounding = key >= kLXLowestKey && key <= kLXHighestKey;
    if ((kind == 0x80 || (kind == 0x90 && e.data2 == 0)) && sounding && held[key]) {
      held[key] = false;
      out.push_back({t, 0x80, key, 0});
    } else if (kind == 0x90 && e.data2 > 0 && sounding) {
      const uint16_t strike = disklavierRange ? StrikeFromVelocityDisklavier(e.data2)
                                              : StrikeFromVelocity(key, e.data2);
      held[key] = true;
      out.push_back({t, 0x90, key, LXVelocityFromStrike(key, strike)});
    } else if (kind == 0xB0 && e.data1 == 66 && (e.data2 >= 64 || held[0])) {
      held[0] = e.data2 >= 64;
      out.push_back({t, 0xB0, 66, uint8_t(held[0] ? 127 : 0)});
    } else if (kind == 0xB0 && e.data1 == 64 && c == c0.sustain) {
      AddSwitch(sustain, t, 64, kLXSustainLevel[(e.data2 & 0x7F) * 2] >= 128);
    } else if (kind == 0xB0 && e.data1 == 67 && c == c0.soft) {
      AddSwitch(soft, t, 67, e.data2 >= 64);
    }
  }
  DropShortSwitches(sustain, kLXShortestSustain);
  DropShortSwitches(soft, kLXShortestSoft);
  for (DecodedEvent& e : sustain) e.timeSeconds += kLXSustainDelaySeconds;
  for (DecodedEvent& e : soft) e.timeSeconds += kLXSoftShift + kLXSoftDelaySeconds;
  out.insert(out.end(), sustain.begin(), sustain.end());
  out.insert(out.end(), soft.begin(), soft.end());
  SortByTime(out);
  return out;
}

// Pianocorder and Cassette Converter: notes of the playable keys and the two
// pedals (sustain down from 42, soft from 64) from merged channels, as the
// frames show them. A key goes down ahead of its time by its level's attack
// length plus a shift of 0..2 frames (1 taken here) and comes up a shift
// ahead; a key struck again comes up at the latest for the release gap. A
// pedal goes down its lead ahead, less 1 (no further than the schedule runs
// ahead of the frames sent), and comes up on time; a sustain lift just before
// a press is moved before the press's gap, and presses shorter than a frame
// vanish. Velocities are the loudness level's.
std::vector<DecodedEvent> ExpectFrames(SongContext& context, SignalFamily family,
                                       const FrameScheduleParams& params) {
  SongChannels c0 = Analyse(context);
  PianocorderState schedule(params);
  if (context.velocityProfile == 1) {
    schedule.BuildLevelTable(25, 95);
  } else {
    schedule.BuildLevelTable(1, 127);
  }
  const double frame = static_cast<double>(kFrameBits) / params.unitRate;
  std::vector<DecodedEvent> out, pedals[2];
  MergeFlags merge;
  bool down[128] = {};
  size_t lastOff[128];  // where the key last came up, if it has
  std::fill_n(lastOff, 128, SIZE_MAX);
  bool pedalDown[2] = {};
  for (const SongEvent& e : c0.events) {
    const uint8_t c = e.status & 0x0F, kind = e.status & 0xF0, key = e.data1 & 0x7F;
    const double t = e.timeSeconds;
    if (kind == 0xC0) merge.Program(c, e.data1);
    if (kind == 0xC0 || !merge.merged[c]) continue;
    if ((kind == 0x80 || kind == 0x90) && schedule.KeyFlag(key) >= 0) {
      if (kind == 0x90 && e.data2 > 0) {
        const uint8_t level = schedule.Level(e.data2);
        const double onset = t - params.attackFrames[level] * frame;
        const double gap = onset - params.releaseGapSlots * frame;
        if (down[key]) {
          out.push_back({gap, 0x80, key, 0});
        } else if (lastOff[key] < out.size()) {
          out[lastOff[key]].timeSeconds = std::min(out[lastOff[key]].timeSeconds, gap);
        }
        out.push_back({onset, 0x90, key, FrameLevelVelocity(family, level)});
        down[key] = true;
      } else if (down[key]) {
        lastOff[key] = out.size();
        out.push_back({t - frame, 0x80, key, 0});
        down[key] = false;
      }
    } else if (kind == 0xB0 && (e.data1 == 64 || e.data1 == 67)) {
      const int sustain = e.data1 == 64 ? 1 : 0;
      if (c != (sustain ? c0.sustain : c0.soft)) continue;
      const bool now = e.data2 >= (sustain ? kSustainOnValue : kSoftOnValue);
      if (now == pedalDown[sustain]) continue;
      pedalDown[sustain] = now;
      const int lead =
          std::min(sustain ? kSustainLeadFrames : kSoftLeadFrames, int{params.nowAtReset});
      std::vector<DecodedEvent>& list = pedals[sustain];
      const double at = now ? t - (lead - 1) * frame : t;
      if (now && sustain && !list.empty()) {
        list.back().timeSeconds = std::min(list.back().timeSeconds, at - kSustainGapSlots * frame);
      }
      list.push_back({at, 0xB0, e.data1, uint8_t(now ? 127 : 0)});
    }
  }
  for (auto& list : pedals) DropShortSwitches(list, frame);
  for (const auto& list : pedals) out.insert(out.end(), list.begin(), list.end());
  SortByTime(out);
  return out;
}

std::vector<DecodedEvent> ExpectPianocorder(SongContext& context) {
  return ExpectFrames(context, SignalFamily::kPianocorder, kPianocorderSchedule);
}

std::vector<DecodedEvent> ExpectCassetteConverter(SongContext& context) {
  return ExpectFrames(context, SignalFamily::kCassetteConverter, kCassetteSchedule);
}

uint8_t CassetteHeard(uint8_t velocity) {
  const uint8_t loudest = FrameLevelVelocity(SignalFamily::kCassetteConverter, 7);
  return velocity == loudest ? FrameLevelVelocity(SignalFamily::kCassetteConverter, 4) : velocity;
}

// Tolerances: a stream family's messages leave up to one message late (plus
// the scheduler's early release); the LX clock quantises to its tick; a frame
// family's key leads vary by a shift of 0..2 frames on top of the frame
// quantisation, so its keys lie within 1.5 frames of the middle. LX pedal
// switches: half a 120-tick ramp plus the smoothing; frame pedals: the shift
// and quantisation of keys plus a frame. The loudness windows are the frames
// a key counts into its half's loudness, plus the spread of the leads.
// clang-format off
constexpr double kPianocorderFrame = 128.0 / 4500.0;
constexpr double kCassetteFrame = 128.0 / 12800.0;
constexpr FamilyRules kRules[] = {
  //  family                     expect            notes                   pairing          pedals                  loudness window        heard
  {SignalFamily::kDisklavier,   &ExpectDisklavier, 0.004,                  Pairing::kInOrder, 0.0,                  0.0,                    nullptr},
  {SignalFamily::kMidiSerial,   &ExpectMidiSerial, 0.010,                  Pairing::kInOrder, 0.0,                  0.0,                    nullptr},
  {SignalFamily::kPianoDisc,    &ExpectPianoDisc,  0.010,                  Pairing::kInOrder, 0.0,                  0.0,                    nullptr},
  {SignalFamily::kLX,           &ExpectLX,         0.00125,                Pairing::kByKey,   0.100,                0.0,                    nullptr},
  {SignalFamily::kPianocorder,  &ExpectPianocorder, 1.5 * kPianocorderFrame, Pairing::kByKey, 2.5 * kPianocorderFrame, 7 * kPianocorderFrame, nullptr},
  {SignalFamily::kCassetteConverter, &ExpectCassetteConverter, 1.5 * kCassetteFrame, Pairing::kByKey, 2.5 * kCassetteFrame, 18 * kCassetteFrame, &CassetteHeard},
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

double TrackSecondsPerSongSecond(int formatId) { return formatId == 3 ? 2.0 : 1.0; }

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
