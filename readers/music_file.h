#pragma once
// The music event model and the reader interface every music source is read
// through. A reader turns a file into one time-ordered stream of MIDI-like
// events carrying their delta ticks and the tempo in force.

#include <cstdint>
#include <filesystem>

namespace tonvelo {

enum MusicEventKind : uint32_t {
  kEventChannel = 0,  // channel message (readers also pass odd statuses through)
  kEventSysEx = 1,    // system exclusive
  kEventMeta = 2,     // meta event; status holds the meta type
};

struct MusicEvent {
  uint32_t kind = kEventChannel;
  uint32_t delta = 0;  // ticks since the previous delivered event (muted ticks included)
  uint32_t tempo = 0;  // microseconds per division unit in force before this event
  uint8_t status = 0;
  const uint8_t* data = nullptr;  // owned by the reader; valid until its next call
  uint32_t length = 0;
};

// Result of Open (and of Rewind, which Open ends with).
enum class OpenResult : int {
  kOpened = 0,
  kCannotOpen = 2,     // the file cannot be opened or read
  kNotThisFormat = 3,  // lets the caller try the next reader
  kDamaged = 4,
  kUnsupported = 5,  // SMF format 2
  kOutOfMemory = 6,
  kReadIncomplete = 7,
};

enum class ReadResult : int {
  kEvent = 0,
  kEnd = 1,      // sticky until Rewind
  kDamaged = 4,  // sticky
};

constexpr uint32_t kMaxGapSeconds = 86400;  // a day of silence means a broken file
constexpr const char* kGapProblem =
    "Two of its events lie more than a day apart, which only a damaged file does.";

class CMusicFile2MID {
 public:
  CMusicFile2MID() = default;
  virtual ~CMusicFile2MID() = default;
  CMusicFile2MID(const CMusicFile2MID&) = delete;
  CMusicFile2MID& operator=(const CMusicFile2MID&) = delete;

  [[nodiscard]] virtual OpenResult Open(const std::filesystem::path& path) = 0;
  virtual void Close() = 0;
  [[nodiscard]] virtual OpenResult Rewind() = 0;
  virtual uint32_t GetDivision() const = 0;
  // Rewinds and reads on until `ms` of music have gone by.
  virtual void SkipTo(uint32_t ms);
  virtual void SetSpeed(int percent) = 0;
  virtual void MuteChannel(uint8_t ch);
  virtual void UnmuteChannel(uint8_t ch);
  [[nodiscard]] virtual ReadResult ReadEvent(MusicEvent& ev) = 0;
  virtual uint32_t GetPercentDone() const = 0;
  virtual const char* GetTitle() const = 0;
  virtual uint32_t GetLength() const = 0;
  virtual const char* GetDescription() const = 0;

  double GetTicksPerSecond() const { return ticksPerSecond_; }
  // What is wrong with the file, once Open has refused it or found damage, or
  // ReadEvent has: one sentence for the user. Null when nothing was found.
  const char* GetProblem() const { return problem_; }

  // Pedal-channel analysis: the channel that carries most control changes
  // for `controller`, ignoring percussion channel 9 and channels whose
  // current program is not a piano. Rewinds before and after.
  uint8_t FindPedalChannel(uint8_t controller);
  uint8_t FindSustainChannel() { return FindPedalChannel(64); }
  uint8_t FindSoftChannel() { return FindPedalChannel(67); }

 protected:
  uint8_t muted_[16] = {};
  uint32_t speed_ = 100;  // percent, 1..1000
  double ticksPerSecond_ = 120.0;
  uint32_t maxGapSeconds_ = kMaxGapSeconds;
  const char* problem_ = nullptr;  // a literal: reporting must not need memory
};

}  // namespace tonvelo
