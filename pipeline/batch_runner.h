#pragma once
// CBatchRunner: converts a batch with up to N files at once, for the command
// line. Each file gets its own CConversionThread (so its own reader, encoder
// and writer) on its own thread; the files share nothing but the settings,
// the read-only catalogue and the cancel request. With one job the files run
// one after another in list order, as the dialog's single thread runs them.
//
// Everything a file reports is held back until the files before it in the
// list are done, then passed on together, so each file's messages stay in one
// piece and in list order; the first unfinished file's messages pass at once.
// Messages never wait for an answer. All events are delivered on the thread
// that calls Run.
//
// A file that ends the batch (cancel, an output that would overwrite a source,
// ...) stops it as in a one-file-at-a-time run: no further file starts, later
// files still running are cancelled and their partial outputs deleted, later
// files already finished have their outputs deleted, and the messages of all
// of them are dropped; they count as skipped. So the files on disk and the
// messages are those of one file after another.

#include <cstddef>
#include <optional>
#include <vector>

#include "pipeline/conversion_thread.h"

namespace tonvelo {

// What the runner tells beyond a single file's events.
class BatchEvents : public ConversionEvents {
 public:
  // Files finished of the total, and the batch's overall percent done.
  virtual void OnBatchProgress(size_t filesDone, size_t fileCount, unsigned percent) = 0;
};

enum class FileState { kConverted, kFailed, kSkipped };

struct FileOutcome {
  FileState state = FileState::kSkipped;
  int result = 0;  // the file's result code; 2 for a skipped file
};

// 0 when every file converted, else the result of the first file in list
// order that did not (2 when that one was cancelled or never started).
int BatchExitResult(const std::vector<FileOutcome>& outcomes);

class CBatchRunner {
 public:
  // As for CConversionThread; `jobs` is at least 1.
  CBatchRunner(const std::vector<FileEntry>& files, const ConversionSettings& settings,
               BatchEvents& events, const CancelFlag& cancel, unsigned jobs);

  void SetDiagnosticOutput(bool on) { diagnosticOutput_ = on; }
  void SetDiscardOutput(bool on) { discardOutput_ = on; }
  void SetEncoderFactory(EncoderFactory factory) { createEncoder_ = std::move(factory); }
  void SetScramblerSeed(std::optional<uint32_t> seed) { scramblerSeed_ = seed; }

  // Runs the batch; one outcome per file, in list order. OnFinished gets
  // BatchExitResult of them.
  std::vector<FileOutcome> Run();

 private:
  struct FileRun;

  bool Launch(FileRun& run, size_t index);

  const std::vector<FileEntry>& files_;
  ConversionSettings settings_;
  BatchEvents& events_;
  const CancelFlag& cancel_;
  unsigned jobs_;
  bool diagnosticOutput_ = false;
  bool discardOutput_ = false;
  EncoderFactory createEncoder_;
  std::optional<uint32_t> scramblerSeed_;
};

}  // namespace tonvelo
