#pragma once
// The conversion thread under test: a temporary folder, the real readers and
// writers, and fake encoders injected through the factory. A fake records
// what the thread handed it, writes `frames_` frames and returns `result_`;
// it can also run until cancelled or throw std::bad_alloc.

#include <deque>
#include <new>

#include "pipeline/conversion_thread.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/midi_builder.h"
#include "tests/support/recording_events.h"

namespace tonvelo::test {

struct EncoderRecord {
  int formatId = -1;
  EncoderOptions options;
  std::string outputBase, title, source;  // source: the reader's description, "" for none
  uint32_t sampleRateHz = 0;
  int velocityProfile = -1;
  bool diagnostic = false;
  const ConversionEvents* events = nullptr;
  const CancelFlag* cancel = nullptr;
  uint32_t accompanimentRateHz = 0;  // 0: no accompaniment
};

enum class FakeMode { kFrames, kUntilCancelled, kThrowBadAlloc };

class FakeEncoder : public CTonveloFormat {
 public:
  FakeEncoder(EncoderRecord& record, FakeMode mode, uint32_t frames, Result result)
      : record_(record), mode_(mode), frames_(frames), result_(result) {}

  Result Encode() override {
    record_ = {record_.formatId,
               record_.options,
               outputBasePath_.string(),
               title_,
               source_ != nullptr ? source_->GetDescription() : "",
               sampleRateHz_,
               velocityProfile_,
               diagnosticOutput_,
               events_,
               cancel_,
               accompaniment_ ? accompaniment_->GetSampleRate() : 0};
    // Progress lets a test's events receiver press "Cancel"; the bound keeps
    // a broken cancel path from running forever.
    for (uint32_t block = 0; mode_ == FakeMode::kUntilCancelled && block < 1000; ++block) {
      if (!Write(100)) return Result::kWriteError;
      PostProgress(block % 100);
      if (IsCancelled()) return Result::kCancelled;
    }
    if (!Write(frames_)) return Result::kWriteError;
    if (mode_ == FakeMode::kThrowBadAlloc) throw std::bad_alloc();
    return result_;
  }
  Result Advance() override { return Result::kSuccess; }
  uint32_t GetPosition() override { return position_; }

 private:
  bool Write(uint32_t count) {  // data 1000, 1001, ... on the right
    for (uint32_t end = position_ + count; position_ < end; ++position_) {
      const auto data = static_cast<int16_t>(1000 + position_ % 1000);
      if (output_->WriteFrame(NextAccompanimentSample(), data) != AudioResult::kOk) return false;
    }
    return true;
  }

  EncoderRecord& record_;
  FakeMode mode_;
  uint32_t frames_;
  Result result_;
  uint32_t position_ = 0;
};

class ThreadTest : public AudioTest {
 protected:
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string WriteFile(const std::string& name, const Bytes& bytes) const {
    fs::create_directories(fs::path(Path(name)).parent_path());
    WriteBytes(Path(name), bytes);
    return Path(name);
  }
  std::string WriteMidi(const std::string& name) const {
    MidiBuilder midi(0, 480);
    midi.AddTrack().NoteOn(0, 0, 60, 100).NoteOff(480, 0, 60).End();
    return WriteFile(name, midi.Build());
  }
  std::string WriteWav(const std::string& name, uint32_t rate) const {
    return WriteFile(name, BuildWav16(rate, 2, std::vector<int16_t>(4000, 1234)));
  }

  // One batch on the calling thread, reported to `events` (else to a fresh
  // events_); messages_ holds its message texts.
  int Run(const std::vector<FileEntry>& files, RecordingEvents* events = nullptr) {
    if (events == nullptr) events = &(events_ = RecordingEvents());
    CConversionThread thread(files, settings_, *events, cancel_);
    thread.SetDiagnosticOutput(diagnostic_);
    thread.SetDiscardOutput(discard_);
    thread.SetEncoderFactory([this](int id, const EncoderOptions& options) {
      std::unique_ptr<CTonveloFormat> encoder;
      if (!encoderAvailable_) return encoder;
      records_.emplace_back().formatId = id;
      records_.back().options = options;
      return std::unique_ptr<CTonveloFormat>(
          std::make_unique<FakeEncoder>(records_.back(), mode_, frames_, result_));
    });
    if (pianocorderLoader_) thread.SetPianocorderLoader(pianocorderLoader_);
    const int result = thread.Run();
    messages_.clear();
    for (const auto& m : events->messages) messages_.push_back(m.second);
    return result;
  }

  ConversionSettings settings_;
  CancelFlag cancel_{0};
  RecordingEvents events_;
  std::vector<std::string> messages_;
  bool diagnostic_ = false, discard_ = false, encoderAvailable_ = true;
  FakeMode mode_ = FakeMode::kFrames;
  uint32_t frames_ = 500;
  Result result_ = Result::kSuccess;
  PianocorderLoader pianocorderLoader_;
  std::deque<EncoderRecord> records_;  // stable addresses for the encoders
};

}  // namespace tonvelo::test
