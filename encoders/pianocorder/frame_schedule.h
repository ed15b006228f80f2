#pragma once
// The frame scheduler shared by the Pianocorder and the Cassette Converter:
// both signals are a steady stream of 16-byte frames, each one snapshot of
// which keys and pedals are down and how loud the keys just struck are. The
// schedule is a ring of slots (one per frame) with one entry per flag;
// events are written at the "now" slot, some frames ahead of the "head" slot
// that goes out next, so a key can be put down early enough for its loudness
// to reach the piano before the hammer does.
//
// The two families differ only in their parameters (one row each of
// kFrameSchedules) and in how a frame is packed.

#include <array>
#include <cstdint>

namespace tonvelo {

enum class FrameLayout : uint8_t { kPianocorder, kCassetteConverter };

constexpr uint32_t kFrameBytes = 16;
constexpr uint32_t kFrameBits = kFrameBytes * 8;
constexpr uint32_t kScheduleFlags = 112;  // entries per slot: the flags the schedule drives
constexpr uint32_t kMaxRingSlots = 64;

// A run of MIDI notes mapped to consecutive key flags.
struct NoteRange {
  uint8_t firstNote, lastNote;
  int8_t flagOffset;  // flag = note + offset
};

struct FlagRange {
  uint8_t first, last;  // inclusive
};

struct FrameScheduleParams {
  FrameLayout layout;
  uint32_t unitRate;  // bits per second
  int16_t amplitude;
  bool dataOnLeft;
  uint8_t ringSlots;   // a power of two
  uint8_t nowAtReset;  // how many frames ahead events are written
  uint8_t minLevel, maxLevel;
  std::array<double, 32> curve;  // loudness of levels minLevel.. (x = velocity share squared)
  std::array<uint8_t, 32> attackFrames;  // by level
  NoteRange lowNotes, highNotes;
  FlagRange bassKeys, trebleKeys;
  uint8_t softFlag, sustainFlag;
  uint8_t releaseGapSlots;  // off slots kept before a repeated note's onset
  int16_t noteOffCounter;   // parks a note released inside its attack window
  int16_t keyHoldFrames, pedalHoldFrames;
  int16_t countedBelow;       // entries younger than this count into the loudness...
  int16_t quietCountedBelow;  // ...or younger than this for levels below quietLevel
  int16_t quietLevel;
  int16_t heavyWeight, heavyBelow, lightWeight;  // weights of the loudness mean
};

constexpr std::array<double, 32> kPianocorderCurve{
    0.0,        0.03363279, 0.07417138, 0.10763778, 0.16361682, 0.19656626, 0.23624604, 0.26919575,
    0.28368054, 0.31593755, 0.35493348, 0.38719969, 0.440953,   0.47269317, 0.51117214, 0.54257981,
    0.49225381, 0.523652,   0.56161414, 0.59267019, 0.64504784, 0.67611352, 0.71321684, 0.74376541,
    0.75740024, 0.7877827,  0.82453468, 0.85474154, 0.90505941, 0.93457385, 0.97065195, 1.0};

// clang-format off
inline constexpr std::array<FrameScheduleParams, 2> kFrameSchedules{{
  // layout, rate, amplitude, left, ring, now, levels, curve, attack frames by level,
  // notes, bass/treble key flags, soft/sustain flag, gap, note-off counter, holds (key, pedal),
  // counted (< n, quiet < n, quiet below level), weights (heavy, while < n, light)
  {FrameLayout::kPianocorder, 4500, 8192, false, 16, 8, 0, 31, kPianocorderCurve,
   {4, 4, 4, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1},
   {25, 64, -9}, {65, 104, 7}, {16, 55}, {72, 111}, 0, 1, 2, 1583, 1582, 2637,
   3, 4, 21, 2, 2, 1},
  {FrameLayout::kCassetteConverter, 12800, 16384, true, 64, 32, 1, 7,
   {0.0, 0.083, 0.173, 0.281, 0.478, 0.712, 1.0},
   {12, 12, 10, 8, 7, 6, 4, 3},
   {23, 64, -6}, {65, 105, -6}, {17, 58}, {59, 99}, 106, 8, 7, 4501, 4500, 4500,
   11, 15, 6, 7, 7, 4},
}};
// clang-format on
constexpr bool RowFits(const FrameScheduleParams& p) {
  bool ok = p.ringSlots <= kMaxRingSlots && (p.ringSlots & (p.ringSlots - 1)) == 0 &&
            p.nowAtReset < p.ringSlots && p.maxLevel < 32 && p.softFlag < kScheduleFlags &&
            p.sustainFlag < kScheduleFlags && p.trebleKeys.last < kScheduleFlags;
  for (int level = p.minLevel; level <= p.maxLevel; ++level) ok = ok && p.attackFrames[level] > 0;
  return ok;
}
static_assert(RowFits(kFrameSchedules[0]) && RowFits(kFrameSchedules[1]));

inline constexpr const FrameScheduleParams& kPianocorderSchedule = kFrameSchedules[0];
inline constexpr const FrameScheduleParams& kCassetteSchedule = kFrameSchedules[1];

// Pedals: how many frames ahead they are put down, the off slots kept before
// a sustain press, and the controller values that count as pressed.
constexpr int kSoftLeadFrames = 18;
constexpr int kSustainLeadFrames = 4;
constexpr int kSustainGapSlots = 4;
constexpr uint8_t kSustainOnValue = 42;
constexpr uint8_t kSoftOnValue = 64;
constexpr int kPedalSoft = 0;
constexpr int kPedalSustain = 1;

class PianocorderState {
 public:
  struct Entry {
    int16_t level;    // -1 off; else the loudness level (1 for pedals)
    int16_t counter;  // frames since the entry's onset
  };

  explicit PianocorderState(const FrameScheduleParams& params);

  void Reset();
  void BuildLevelTable(int lo, int hi);
  void SetBitPosition(uint32_t b) { bitPosition_ = b < kFrameBits ? b : 0; }
  void Note(uint8_t note, uint8_t velocity);
  void Pedal(int index, uint8_t value);
  // Packs the head slot into `frame` and moves the ring on by one slot.
  void NextFrame(uint8_t* frame);

  uint8_t Level(uint8_t velocity) const { return levelTable_[velocity & 0x7F]; }
  // -1 when the note has no key in this layout.
  int KeyFlag(uint8_t note) const;
  const Entry& At(uint32_t slotsAfterHead, uint32_t flag) const {
    return slots_[(head_ + slotsAfterHead) & mask_][flag];
  }
  const FrameScheduleParams& Params() const { return p_; }

 private:
  uint32_t Back(uint32_t slot, uint32_t n) const { return (slot - n) & mask_; }
  int LeadShift(int flag) const;
  bool InAttack(const Entry& e) const {
    return e.level >= 0 && e.counter < p_.attackFrames[e.level];
  }
  void NoteOn(int flag, int level);
  void NoteOff(int flag);
  void RaiseEarlierNote(int flag, uint32_t slot);
  void PressPedal(int flag, int lead, bool sustain);
  void ReleasePedal(int flag, int lead);
  int Loudness(const Entry* slot, FlagRange keys) const;
  void PackPianocorder(const Entry* slot, uint8_t* frame) const;
  void PackCassette(const Entry* slot, uint8_t* frame) const;

  const FrameScheduleParams& p_;
  uint32_t mask_;
  uint8_t levelTable_[128] = {};
  uint32_t bitPosition_ = 0;
  uint32_t head_ = 0;
  uint32_t now_ = 0;
  Entry slots_[kMaxRingSlots][kScheduleFlags];
  bool pedalOn_[2] = {};
  uint8_t markerPhase_ = 0;
};

}  // namespace tonvelo
