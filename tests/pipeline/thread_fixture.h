#pragma once
// The conversion thread under test: a temporary folder for sources and
// outputs, real readers and writers, and fake encoders injected through the
// factory that record what the thread handed them and write a chosen number
// of frames before returning a chosen result.

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "pipeline/conversion_thread.h"
#include "tests/support/midi_builder.h"
#include "tests/support/recording_events.h"
#include "tests/support/wav_builder.h"

namespace tonvelo::test {

namespace fs = std::filesystem;

// What one fake encoder was given, as seen when Encode ran.
struct EncoderRecord {
  int formatId = -1;
  EncoderOptions options;
  bool encoded = false;
  std::string outputBase;
  bool diagnostic = false;
  uint32_t sampleRateHz = 0;
  int velocityProfile = -1;
  const ConversionEvents* events = nullptr;
  bool hasOutput = false;
  bool hasAccompaniment = false;
  uint32_t accompanimentRateHz = 0;
  uint32_t accompanimentLength = 0;
  std::string sourceDescription;  // "" when no reader was set
  const CancelFlag* cancel = nullptr;
  std::string title;
};

enum class FakeMode { kFrames, kUntilCancelled, kThrowBadAlloc };

class FakeEncoder : public CTonveloFormat {
 public:
  FakeEncoder(EncoderRecord& record, FakeMode mode, uint32_t frames, Result result)
      : record_(record), mode_(mode), frames_(frames), result_(result) {}

  Result Encode() override {
    record_.encoded = true;
    record_.outputBase = outputBasePath_.string();
    record_.diagnostic = diagnosticOutput_;
    record_.sampleRateHz = sampleRateHz_;
    record_.velocityProfile = velocityProfile_;
    record_.events = events_;
    record_.hasOutput = output_ != nullptr;
    record_.hasAccompaniment = accompaniment_ != nullptr;
    if (accompaniment_ != nullptr) {
      record_.accompanimentRateHz = accompaniment_->GetSampleRate();
      record_.accompanimentLength = accompaniment_->GetLength();
    }
    record_.sourceDescription = source_ != nullptr ? source_->GetDescription() : "";
    record_.cancel = cancel_;
    record_.title = title_;

    if (mode_ == FakeMode::kThrowBadAlloc) {
      if (!WriteFrames(frames_)) return Result::kWriteError;
      throw std::bad_alloc();
    }
    if (mode_ == FakeMode::kUntilCancelled) {
      // Progress lets the test's events receiver press "Cancel"; the bound
      // keeps a broken cancel path from running forever.
      for (uint32_t block = 0; block < 1000; ++block) {
        if (!WriteFrames(100)) return Result::kWriteError;
        PostProgress(block % 100);
        if (IsCancelled()) return Result::kCancelled;
      }
      return Result::kSuccess;
    }
    if (!WriteFrames(frames_)) return Result::kWriteError;
    return result_;
  }
  Result Advance() override { return Result::kSuccess; }
  uint32_t GetPosition() override { return position_; }

 private:
  bool WriteFrames(uint32_t count) {
    for (uint32_t i = 0; i < count; ++i, ++position_) {
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

// Sets the cancel flag on the first progress report, as a user would.
class CancellingEvents : public RecordingEvents {
 public:
  explicit CancellingEvents(CancelFlag& flag) : flag_(flag) {}
  void OnProgress(unsigned percent) override {
    RecordingEvents::OnProgress(percent);
    flag_.store(1);
  }

 private:
  CancelFlag& flag_;
};

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("tonvelo_thread_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // A small valid MIDI file: one note.
  std::string WriteMidi(const std::string& name) const {
    MidiBuilder midi(0, 480);
    midi.AddTrack().NoteOn(0, 0, 60, 100).NoteOff(480, 0, 60).End();
    fs::create_directories(fs::path(Path(name)).parent_path());
    midi.Write(Path(name));
    return Path(name);
  }
  std::string WriteFile(const std::string& name, const Bytes& bytes) const {
    fs::create_directories(fs::path(Path(name)).parent_path());
    WriteBytes(Path(name), bytes);
    return Path(name);
  }
  std::string WriteWav(const std::string& name, uint32_t rate, size_t frames = 2000) const {
    std::vector<int16_t> samples(frames * 2);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 7);
    return WriteFile(name, BuildWav16(rate, 2, samples));
  }

  // Runs one batch on the calling thread with fake encoders.
  int Run(const std::vector<FileEntry>& files, ConversionEvents& events) {
    CConversionThread thread(files, settings_, events, cancel_);
    thread.SetDiagnosticOutput(diagnostic_);
    thread.SetDiscardOutput(discard_);
    thread.SetEncoderFactory(Factory());
    if (pianocorderLoader_) thread.SetPianocorderLoader(pianocorderLoader_);
    return thread.Run();
  }
  int Run(const std::vector<FileEntry>& files) { return Run(files, events_); }

  EncoderFactory Factory() {
    return [this](int formatId, const EncoderOptions& options) -> std::unique_ptr<CTonveloFormat> {
      if (!encoderAvailable_) return nullptr;
      records_.emplace_back();
      records_.back().formatId = formatId;
      records_.back().options = options;
      return std::make_unique<FakeEncoder>(records_.back(), mode_, frames_, result_);
    };
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& m : events_.messages) texts.push_back(m.second);
    return texts;
  }

  fs::path dir_;
  ConversionSettings settings_;
  CancelFlag cancel_{0};
  RecordingEvents events_;
  bool diagnostic_ = false;
  bool discard_ = false;
  bool encoderAvailable_ = true;
  FakeMode mode_ = FakeMode::kFrames;
  uint32_t frames_ = 500;
  Result result_ = Result::kSuccess;
  PianocorderLoader pianocorderLoader_;
  std::deque<EncoderRecord> records_;  // stable addresses for the encoders
};

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace tonvelo::test
