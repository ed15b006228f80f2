#pragma once
// CSMF2MID: reads Standard MIDI Files (format 0 and 1). The whole file is
// loaded once; the tracks are decoded in place and merged into one stream in
// time order, ties going to the lower-numbered track.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo {

class CSMF2MID final : public CMusicFile2MID {
 public:
  CSMF2MID() = default;
  ~CSMF2MID() override;

  [[nodiscard]] OpenResult Open(const std::filesystem::path& path) override;
  // The same as Open for a file already in memory (the reader keeps the bytes).
  [[nodiscard]] OpenResult OpenBuffer(std::vector<uint8_t> bytes);
  void Close() override;
  [[nodiscard]] OpenResult Rewind() override;
  uint32_t GetDivision() const override { return division_; }
  void SetSpeed(int percent) override;
  [[nodiscard]] ReadResult ReadEvent(MusicEvent& ev) override;
  uint32_t GetPercentDone() const override;
  const char* GetTitle() const override { return title_.c_str(); }
  uint32_t GetLength() const override { return lengthMs_; }
  const char* GetDescription() const override { return "Standard MIDI file"; }

  uint16_t GetFormat() const { return format_; }
  uint16_t GetTrackCount() const { return trackCount_; }
  uint32_t GetTempo() const { return tempoUs_; }  // microseconds per quarter note
  uint32_t GetBPM() const { return bpm_; }        // 0 when not a whole number
  uint32_t GetMaxGapTicks() const { return maxGapTicks_; }

 private:
  struct TrackState {
    uint64_t nextTime = 0;  // absolute tick of the next event, once its delta is read
    uint32_t pos = 0;       // offsets into file_: the next event's delta,
    uint32_t body = 0;      // the byte after that delta,
    uint32_t end = 0;       // and one past the chunk's last byte
    uint8_t runningStatus = 0x90;
    uint8_t runningLength = 2;
    uint8_t buffer[2] = {};
    bool finished = false;
  };

  OpenResult Parse();
  void RecomputeTiming();
  void SetTempo(const uint8_t* data);  // the three bytes of a Set Tempo
  inline void PeekDelta(size_t track);
  inline void SetKey(size_t track, uint64_t key);
  void Rebase();
  inline bool DecodeEvent(TrackState& t, MusicEvent& ev);

  std::vector<uint8_t> file_;  // the whole file; track data starts at byte 14
  std::vector<TrackState> tracks_;
  // Choosing the next track: each track's key is the tick of its next event
  // (counted from keyBase_) << 16 | its number, all ones once it has none, so
  // that the smallest key is the earliest event with ties going to the lower
  // track. The keys are the leaves of a tree whose every node holds the
  // smaller of its two children; the root is the next event.
  std::vector<uint64_t> keyTree_;
  size_t leafBase_ = 1;
  uint64_t keyBase_ = 0;
  // The order of tracks chosen by the opening scan's merge. The order is the
  // same on every pass (times do not depend on tempo, speed or muting), so
  // later passes follow it instead of keeping the tree. Files with more
  // tracks than a byte can name keep using the tree.
  std::unique_ptr<uint8_t[]> order_;
  size_t orderLength_ = 0;
  size_t orderCapacity_ = 0;
  size_t step_ = 0;
  bool recording_ = false;
  bool replaying_ = false;
  std::string title_;
  uint64_t totalTrackBytes_ = 0;
  uint64_t bytesConsumed_ = 0;
  uint64_t now_ = 0;  // absolute tick of the merged stream
  uint32_t carriedTicks_ = 0;
  uint16_t format_ = 0;
  uint16_t trackCount_ = 0;
  uint32_t division_ = 480;
  uint32_t maxGapTicks_ = 0;
  uint32_t bpm_ = 120;
  uint32_t tempoUs_ = 500000;
  uint32_t lengthMs_ = 0;
  bool loaded_ = false;
  bool damaged_ = false;
  bool atEnd_ = true;  // a closed reader has nothing to deliver
};

}  // namespace tonvelo
