#pragma once
// CESEQ2MID: reads Yamaha ESEQ song files. ESEQ keeps one stream of MIDI
// channel and system-exclusive messages interleaved with its own command
// bytes for waits, tempo, time signature and song parts.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo {

constexpr uint32_t kEseqHeaderBytes = 39;
constexpr uint32_t kEseqTitleBlockBytes = 80;

class CESEQ2MID final : public CMusicFile2MID {
 public:
  CESEQ2MID() = default;
  ~CESEQ2MID() override;

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
  const char* GetDescription() const override { return "Yamaha ESEQ file"; }

  uint32_t GetInitialBPM() const { return initialBpm_; }
  uint32_t GetBPM() const { return bpm_; }
  uint32_t GetMaxGapTicks() const { return maxGapTicks_; }

  // Joins the two 16-character halves of the title stored at offset 48 of
  // the 80-byte first block.
  static std::string CleanTitle(const uint8_t* halves32);

 private:
  enum class Decoded { kEvent, kEndOfData, kError };
  struct RawEvent {
    uint32_t kind;
    uint8_t status;
    const uint8_t* data;
    uint32_t length;
    uint64_t delta;
    uint32_t newBpm;  // tempo changes only
  };

  OpenResult Setup();
  void ResetReadState();
  void RecomputeTiming();
  Decoded DecodeEvent(RawEvent& out);

  std::vector<uint8_t> file_;        // header, first block, event data
  const uint8_t* events_ = nullptr;  // into file_
  uint32_t eventsLength_ = 0;
  uint32_t blockLength_ = 0;  // L1
  std::string title_;
  uint32_t pos_ = 0;
  uint32_t carriedTicks_ = 0;
  uint8_t partCount_ = 0;  // P: 0 plays only the first part
  uint8_t partsFinished_ = 0;
  bool inPart_ = false;
  uint8_t numerator_ = 4;
  uint8_t beatExponent_ = 2;
  uint8_t storedByte_ = 0;
  uint32_t initialBpm_ = 120;
  uint32_t division_ = 384;
  uint32_t maxGapTicks_ = 0;
  uint32_t bpm_ = 120;
  uint32_t lengthMs_ = 0;
  bool loaded_ = false;
  bool damaged_ = false;
  bool atEnd_ = false;
};

}  // namespace tonvelo
