#pragma once
// CTonveloFormat: the base of every player-piano encoder. It holds what all
// encoders share: the reader, the writer and the optional accompaniment, the
// output rate and options, the 8-bit song title, the accompaniment mixing
// (delay, mono fold-down, fades), progress reporting and the event scheduler
// that hands out each music event once the signal has reached its time.
//
// Signal travels in blocks: the accompaniment is read ahead a block at a
// time and folded and faded there, and each stretch of data signal an encoder
// writes goes to the writer as interleaved blocks, one call per block.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "audio/pcm_in.h"
#include "audio/pcm_out.h"
#include "framework/conversion_events.h"
#include "framework/result.h"
#include "readers/music_file.h"

namespace tonvelo {

constexpr uint32_t kFadeFrames = 400;
// Frames per block handed to the writer and read ahead from the accompaniment.
constexpr uint32_t kBlockFrames = 4096;
constexpr size_t kTitleBytes = 512;

using CancelFlag = std::atomic<int>;

class CTonveloFormat {
 public:
  CTonveloFormat() = default;
  virtual ~CTonveloFormat() = default;
  CTonveloFormat(const CTonveloFormat&) = delete;
  CTonveloFormat& operator=(const CTonveloFormat&) = delete;

  [[nodiscard]] virtual Result Encode() = 0;
  // Produces the next unit of data signal (an idle symbol, a frame, ...).
  [[nodiscard]] virtual Result Advance() = 0;
  // Output frames produced so far, as the encoder counts them.
  virtual uint32_t GetPosition() = 0;

  // Common setters, called by the conversion thread in this order after the
  // encoder's own setters.
  void SetOutputBasePath(const std::filesystem::path& base) { outputBasePath_ = base; }
  void SetDiagnosticOutput(bool on) { diagnosticOutput_ = on; }
  void SetSampleRate(uint32_t rateHz);  // also sets the one-second default delay
  void SetVelocityProfile(int profile) { velocityProfile_ = profile; }
  void SetNotifyWindow(ConversionEvents* events) { events_ = events; }
  void SetOutput(CPCMOut* output) { output_ = output; }
  void SetAccompaniment(CPCMIn* accompaniment);  // runs the anti-phase scan
  void SetSource(CMusicFile2MID* source) { source_ = source; }
  void SetCancelFlag(const CancelFlag* cancel) { cancel_ = cancel; }
  void SetTitle(const std::string& fileTitle);

  const char* GetTitle() const { return title_; }
  uint32_t GetSampleRate() const { return sampleRateHz_; }
  bool IsAntiPhase() const { return antiPhase_; }
  uint32_t GetAccompanimentDelay() const { return accompanimentDelayFrames_; }

  // trunc(rate * s + 0.5) in double precision.
  uint32_t SecondsToSamples(double seconds) const;

  static bool IsYamahaPianoSysex(const MusicEvent& ev);

 protected:
  enum class DataChannel { kLeft, kRight };

  // The one way encoders put signal into the output: `count` samples of the
  // data channel, each paired with the next accompaniment sample on the other
  // channel. Encoders never call the writer themselves, so how frames travel
  // to it (and in what block sizes) is the framework's business alone. All
  // frames are with the writer when these return.
  void SetDataChannel(DataChannel channel) { dataChannel_ = channel; }
  [[nodiscard]] Result WriteData(const int16_t* data, uint32_t count);  // null data: silence
  // Frames whose data sample is 0; the accompaniment runs on.
  [[nodiscard]] Result WriteSilence(uint32_t frames);
  // Frames handed to the writer so far.
  uint32_t FramesWritten() const { return output_ != nullptr ? output_->GetFrameCount() : 0; }

  int16_t NextAccompanimentSample() {
    int16_t s;
    FillAccompaniment(&s, 1, 1);
    return s;
  }
  bool IsAccompanimentFinished() const;
  void SetAccompanimentDelay(double seconds) {
    accompanimentDelayFrames_ = SecondsToSamples(seconds);
  }
  void PostProgress(uint32_t percent);
  bool IsCancelled() const {
    return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed) != 0;
  }
  void ShowMessage(MessageIcon icon, const std::string& text) {
    if (events_ != nullptr) events_->ShowMessage(icon, text);
  }
  // The event scheduler: reads the next event and advances the signal
  // (through Advance) until it has reached the event's time, to within half a
  // data unit. 0 event ready, 1 end of events, 2 cancelled, 3 damaged, or the
  // failing Advance's code.
  [[nodiscard]] Result NextEvent(MusicEvent& ev);

  // The next `count` accompaniment samples, at dst[0], dst[stride], ...: the
  // delay first, then the recording folded to mono and faded, then zeros.
  void FillAccompaniment(int16_t* dst, uint32_t stride, uint32_t count);
  // Reads and mixes the next block of the recording into the read-ahead.
  void ReadAccompanimentBlock();

  char title_[kTitleBytes] = {};
  CPCMOut* output_ = nullptr;
  CMusicFile2MID* source_ = nullptr;
  uint32_t sampleRateHz_ = 44100;
  std::filesystem::path outputBasePath_;
  bool diagnosticOutput_ = false;
  int velocityProfile_ = 0;
  ConversionEvents* events_ = nullptr;
  DataChannel dataChannel_ = DataChannel::kRight;
  CPCMIn* accompaniment_ = nullptr;
  uint32_t accompanimentChannels_ = 0;
  bool antiPhase_ = false;
  uint32_t accompanimentDelayFrames_ = 0;
  uint32_t accompanimentFramesRead_ = 0;  // handed out to the mix
  uint32_t accompanimentLengthFrames_ = 0;
  bool accompanimentFailed_ = false;  // a read failed: no more frames will come
  // Read-ahead: mixed samples [pos, fill) not yet handed out; the frames
  // fetched from the reader so far; a short read waiting behind them.
  uint32_t readAheadPos_ = 0;
  uint32_t readAheadFill_ = 0;
  uint32_t accompanimentFramesFetched_ = 0;
  bool readAheadFailed_ = false;
  int16_t readAhead_[kBlockFrames] = {};
  int16_t rawBlock_[2 * kBlockFrames] = {};  // frames as read
  int16_t outBlock_[2 * kBlockFrames] = {};  // interleaved frames for the writer
  uint32_t halfUnitFrames_ = 0;
  uint32_t lastProgress_ = 101;
  const CancelFlag* cancel_ = nullptr;
  uint32_t startPosition_ = 0;
  uint64_t elapsed_ = 0;  // sum of delta * tempo over the events fetched
  bool leadingSilencePending_ = true;
  bool firstEventPending_ = true;
};

}  // namespace tonvelo
