#include "encoders/pianocorder/frame_schedule.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tonvelo {

namespace {

void SetFlag(uint8_t* frame, uint32_t flag) {
  frame[flag / 8] |= static_cast<uint8_t>(0x80 >> (flag % 8));
}

// Cassette Converter intensity: which of the three holes of a side are
// punched for each level; bit 0, 1, 2 are flags 10, 11, 15 (bass) and
// 107, 103, 101 (treble). Levels 4 and 7 look alike on the roll.
constexpr uint8_t kIntensityCode[8] = {0, 0, 1, 3, 7, 5, 6, 7};
constexpr uint8_t kBassIntensityFlags[3] = {10, 11, 15};
constexpr uint8_t kTrebleIntensityFlags[3] = {107, 103, 101};
constexpr uint8_t kCassetteConstantFlags[3] = {2, 16, 100};
constexpr uint8_t kMarkerFlags[2][4] = {{124, 125, 127, 0}, {121, 122, 123, 126}};
constexpr uint8_t kMarkerCount[2] = {3, 4};

// Pianocorder: the keys whose loudness the split bits choose.
constexpr uint32_t kSplitBassKey = 55;
constexpr uint32_t kSplitTrebleKeys[2] = {72, 73};
constexpr int16_t kSplitCountedBelow = 4;
constexpr uint32_t kBassLoudnessFlag = 3;
constexpr uint32_t kTrebleLoudnessFlag = 67;
constexpr uint32_t kSplitFlagA = 64;
constexpr uint32_t kSplitFlagB = 65;
constexpr uint8_t kPianocorderTrailer = 0xFD;

}  // namespace

PianocorderState::PianocorderState(const FrameScheduleParams& params)
    : p_(params), mask_(static_cast<uint32_t>(params.ringSlots) - 1) {
  Reset();
  BuildLevelTable(25, 95);
}

void PianocorderState::Reset() {
  for (auto& slot : slots_) {
    for (Entry& e : slot) e = {-1, 0};
  }
  head_ = 0;
  now_ = p_.nowAtReset;
  pedalOn_[0] = pedalOn_[1] = false;
  markerPhase_ = 0;
  bitPosition_ = 0;
}

void PianocorderState::BuildLevelTable(int lo, int hi) {
  if (hi <= lo) {
    lo = 30;
    hi = 95;
  }
  const int levels = p_.maxLevel - p_.minLevel + 1;
  for (int v = 0; v < 128; ++v) {
    if (v <= lo) {
      levelTable_[v] = p_.minLevel;
      continue;
    }
    if (v >= hi) {
      levelTable_[v] = p_.maxLevel;
      continue;
    }
    const double share = static_cast<double>(v - lo) / (hi - lo);
    const double x = share * share;
    int best = 0;
    for (int i = 1; i < levels; ++i) {
      if (std::fabs(p_.curve[i] - x) < std::fabs(p_.curve[best] - x)) best = i;
    }
    levelTable_[v] = static_cast<uint8_t>(p_.minLevel + best);
  }
}

int PianocorderState::KeyFlag(uint8_t note) const {
  for (const NoteRange& r : {p_.lowNotes, p_.highNotes}) {
    if (note >= r.firstNote && note <= r.lastNote) return note + r.flagOffset;
  }
  return -1;
}

// A key late in the frame period goes out later within its frame than one
// early in it; the lead makes up for what the frame boundary would lose.
int PianocorderState::LeadShift(int flag) const {
  const int d = static_cast<int>(bitPosition_) - flag;
  if (d >= 64) return 0;
  if (d <= -64) return 2;
  return 1;
}

void PianocorderState::Note(uint8_t note, uint8_t velocity) {
  const int flag = KeyFlag(note);
  if (flag < 0) return;
  if (velocity == 0) {
    NoteOff(flag);
  } else {
    NoteOn(flag, Level(velocity));
  }
}

void PianocorderState::NoteOn(int flag, int level) {
  const int gap = p_.releaseGapSlots;
  int shift = LeadShift(flag);
  for (;;) {
    const int n = p_.attackFrames[level] + shift;
    const uint32_t onset = Back(now_, n - 1);
    // The key must come up between two strokes; an earlier stroke still
    // building its loudness in the gap first costs lead, then loudness.
    bool earlier = false;
    bool conflict = false;
    for (int g = 1; g <= gap; ++g) {
      const Entry& e = slots_[Back(onset, g)][flag];
      if (InAttack(e)) {
        earlier = true;
        if (p_.attackFrames[e.level] > 1) conflict = true;
      }
    }
    if (earlier && shift > 0) {
      --shift;
      continue;
    }
    for (int j = 0; j < n; ++j) {
      slots_[Back(now_, j)][flag] = {static_cast<int16_t>(level), static_cast<int16_t>(n - 1 - j)};
    }
    for (int g = 1; g <= gap; ++g) {
      slots_[Back(onset, g)][flag] = {-1, static_cast<int16_t>(gap - g)};
    }
    if (conflict) RaiseEarlierNote(flag, Back(onset, gap + 1));
    return;
  }
}

// A louder level has a shorter attack, so the earlier stroke still lands
// before the gap that the new one needs.
void PianocorderState::RaiseEarlierNote(int flag, uint32_t slot) {
  const int old = slots_[slot][flag].level;
  if (old < 0) return;
  int raised = old + 1;
  while (raised < p_.maxLevel && p_.attackFrames[raised] == p_.attackFrames[old]) ++raised;
  if (raised > p_.maxLevel) raised = p_.maxLevel;
  for (uint32_t j = slot; j != head_ && slots_[j][flag].level >= 0; j = Back(j, 1)) {
    slots_[j][flag].level = static_cast<int16_t>(raised);
  }
}

void PianocorderState::NoteOff(int flag) {
  const int shift = LeadShift(flag);
  for (int j = 0; j <= shift; ++j) {
    Entry& e = slots_[Back(now_, j)][flag];
    if (InAttack(e)) {
      // Stays down until its stroke is complete, then the counter passes the
      // hold limit and releases it; such an entry no longer counts as loud.
      e.counter = p_.noteOffCounter;
    } else {
      e = {-1, 0};
    }
  }
}

void PianocorderState::Pedal(int index, uint8_t value) {
  const bool sustain = index == kPedalSustain;
  const bool on = value >= (sustain ? kSustainOnValue : kSoftOnValue);
  if (on == pedalOn_[index]) return;
  pedalOn_[index] = on;
  const int flag = sustain ? p_.sustainFlag : p_.softFlag;
  const int lead = sustain ? kSustainLeadFrames : kSoftLeadFrames;
  if (on) {
    PressPedal(flag, lead, sustain);
  } else {
    ReleasePedal(flag, lead);
  }
}

void PianocorderState::PressPedal(int flag, int lead, bool sustain) {
  // The soft pedal's lead is longer than the Pianocorder ring; the walk wraps
  // and its last writes win.
  for (int j = 0; j < lead; ++j) {
    slots_[Back(now_, j)][flag] = {1, static_cast<int16_t>(lead - 1 - j)};
  }
  if (!sustain) return;
  const uint32_t onset = Back(now_, lead - 1);
  for (int g = 1; g <= kSustainGapSlots; ++g) {
    slots_[Back(onset, g)][flag] = {-1, static_cast<int16_t>(kSustainGapSlots - g)};
  }
  // A press too short to be felt before the gap is dropped altogether.
  const uint32_t before = Back(onset, kSustainGapSlots + 1);
  const Entry& e = slots_[before][flag];
  if (e.level >= 0 && e.counter < 3) {
    for (uint32_t j = before; j != head_ && slots_[j][flag].level >= 0; j = Back(j, 1)) {
      slots_[j][flag] = {-1, 0};
    }
  }
}

void PianocorderState::ReleasePedal(int flag, int lead) {
  if (slots_[now_][flag].counter < lead) {
    // Released before its lead has passed: the press never reaches the piano.
    for (uint32_t j = now_; j != head_ && slots_[j][flag].level >= 0; j = Back(j, 1)) {
      slots_[j][flag] = {-1, 0};
    }
  } else {
    slots_[now_][flag] = {-1, 0};
  }
}

int PianocorderState::Loudness(const Entry* slot, FlagRange keys) const {
  int sum = 0;
  int weights = 0;
  for (uint32_t f = keys.first; f <= keys.last; ++f) {
    const Entry& e = slot[f];
    if (e.level < 0) continue;
    if (e.counter >= (e.level < p_.quietLevel ? p_.quietCountedBelow : p_.countedBelow)) continue;
    const int w = e.counter < p_.heavyBelow ? p_.heavyWeight : p_.lightWeight;
    sum += w * e.level;
    weights += w;
  }
  if (weights == 0) return 1;
  return (2 * sum + weights) / (2 * weights);  // half up
}

void PianocorderState::PackPianocorder(const Entry* slot, uint8_t* frame) const {
  const int bass = Loudness(slot, p_.bassKeys);
  const int treble = Loudness(slot, p_.trebleKeys);
  for (uint32_t i = 0; i < 5; ++i) {
    if ((bass >> i) & 1) SetFlag(frame, kBassLoudnessFlag + i);
    if ((treble >> i) & 1) SetFlag(frame, kTrebleLoudnessFlag + i);
  }
  // The three keys nearest the split may take either side's loudness; the
  // bits pick the assignment that strays least from their own levels.
  auto levelOf = [slot](uint32_t f) {
    const Entry& e = slot[f];
    return e.level >= 0 && e.counter < kSplitCountedBelow ? e.level : 0;
  };
  const int l55 = levelOf(kSplitBassKey);
  const int l72 = levelOf(kSplitTrebleKeys[0]);
  const int l73 = levelOf(kSplitTrebleKeys[1]);
  const int a = std::abs(l55 - bass) + std::abs(l72 - treble) + std::abs(l73 - treble);
  const int b = std::abs(l55 - treble) + std::abs(l72 - treble) + std::abs(l73 - treble);
  const int c = std::abs(l55 - bass) + std::abs(l72 - bass) + std::abs(l73 - bass);
  bool bitA = false;
  bool bitB = false;
  if (a <= b) {
    bitB = a > c;
  } else if (b <= c) {
    bitA = true;
  } else {
    bitB = true;
  }
  if (bitA) SetFlag(frame, kSplitFlagA);
  if (bitB) SetFlag(frame, kSplitFlagB);
  frame[15] = kPianocorderTrailer;
}

void PianocorderState::PackCassette(const Entry* slot, uint8_t* frame) const {
  const uint8_t bass = kIntensityCode[Loudness(slot, p_.bassKeys)];
  const uint8_t treble = kIntensityCode[Loudness(slot, p_.trebleKeys)];
  for (uint32_t i = 0; i < 3; ++i) {
    if ((bass >> i) & 1) SetFlag(frame, kBassIntensityFlags[i]);
    if ((treble >> i) & 1) SetFlag(frame, kTrebleIntensityFlags[i]);
  }
  for (uint8_t f : kCassetteConstantFlags) SetFlag(frame, f);
  for (uint8_t i = 0; i < kMarkerCount[markerPhase_]; ++i) {
    SetFlag(frame, kMarkerFlags[markerPhase_][i]);
  }
}

void PianocorderState::NextFrame(uint8_t* frame) {
  std::memset(frame, 0, kFrameBytes);
  const Entry* slot = slots_[head_];
  for (uint32_t f : {p_.softFlag, p_.sustainFlag}) {
    if (slot[f].level >= 0) SetFlag(frame, f);
  }
  for (const FlagRange& keys : {p_.bassKeys, p_.trebleKeys}) {
    for (uint32_t f = keys.first; f <= keys.last; ++f) {
      if (slot[f].level >= 0) SetFlag(frame, f);
    }
  }
  if (p_.layout == FrameLayout::kPianocorder) {
    PackPianocorder(slot, frame);
  } else {
    PackCassette(slot, frame);
    markerPhase_ ^= 1;
  }

  const uint32_t next = (now_ + 1) & mask_;
  std::memcpy(slots_[next], slots_[now_], sizeof(slots_[now_]));
  now_ = next;
  head_ = (head_ + 1) & mask_;
  for (uint32_t f = 0; f < kScheduleFlags; ++f) {
    Entry& e = slots_[now_][f];
    if (e.level < 0) continue;
    ++e.counter;
    const bool pedal = f == p_.softFlag || f == p_.sustainFlag;
    if (e.counter >= (pedal ? p_.pedalHoldFrames : p_.keyHoldFrames)) e = {-1, 0};
  }
}

}  // namespace tonvelo
