#include "pipeline/batch_runner.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "audio/byte_file.h"

namespace tonvelo {

namespace {

// How often the runner looks at the cancel request when nothing else wakes it.
constexpr auto kCancelPoll = std::chrono::milliseconds(50);

}  // namespace

int BatchExitResult(const std::vector<FileOutcome>& outcomes) {
  for (const FileOutcome& o : outcomes) {
    if (o.state != FileState::kConverted) return o.result;
  }
  return ToInt(Result::kSuccess);
}

// One file on its own thread. Its events are kept here until the runner
// passes them on; everything but `percent` is guarded by the runner's mutex.
struct CBatchRunner::FileRun : ConversionEvents {
  struct Line {
    bool isStatus;
    MessageIcon icon;
    std::string text;
  };

  FileRun(std::mutex& m, std::condition_variable& w, size_t& a) : mutex(m), wake(w), active(a) {}

  void Add(Line line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(std::move(line));
    wake.notify_one();
  }
  void OnStatus(const std::string& text) override { Add({true, MessageIcon::kInformation, text}); }
  void ShowMessage(MessageIcon icon, const std::string& text) override { Add({false, icon, text}); }
  void OnProgress(unsigned p) override {
    percent.store(p);
    wake.notify_one();
  }
  void OnFinished(int /*result*/) override {}

  void Convert(size_t index) {
    bool endsBatch = false;
    std::string kept;
    const int r = conversion->ConvertOne(index, endsBatch, kept);
    std::lock_guard<std::mutex> lock(mutex);
    keptOutput = std::move(kept);
    result = r;
    ends = endsBatch;
    done = true;
    --active;
    wake.notify_one();
  }

  std::mutex& mutex;
  std::condition_variable& wake;
  size_t& active;  // files started and not yet done
  std::vector<Line> lines;
  size_t shown = 0;  // lines passed on so far
  std::atomic<unsigned> percent{0};
  bool done = false;
  bool ends = false;
  bool stopped = false;  // undone because an earlier file ended the batch
  int result = 0;
  std::string keptOutput;  // the finished output file, if any
  CancelFlag cancel{0};
  std::unique_ptr<CConversionThread> conversion;
  std::thread thread;
};

CBatchRunner::CBatchRunner(const std::vector<FileEntry>& files, const ConversionSettings& settings,
                           BatchEvents& events, const CancelFlag& cancel, unsigned jobs)
    : files_(files),
      settings_(settings),
      events_(events),
      cancel_(cancel),
      jobs_(jobs < 1 ? 1 : jobs),
      createEncoder_(CreateEncoder) {}

bool CBatchRunner::Launch(FileRun& run, size_t index) {
  run.conversion = std::make_unique<CConversionThread>(files_, settings_, run, run.cancel);
  run.conversion->SetDiagnosticOutput(diagnosticOutput_);
  run.conversion->SetDiscardOutput(discardOutput_);
  run.conversion->SetEncoderFactory(createEncoder_);
  run.conversion->SetScramblerSeed(scramblerSeed_);
  try {
    run.thread = std::thread([&run, index] { run.Convert(index); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::vector<FileOutcome> CBatchRunner::Run() {
  CConversionThread::AnnounceBatch(settings_, events_);
  const size_t count = files_.size();
  std::vector<FileOutcome> outcomes(count, {FileState::kSkipped, ToInt(Result::kCancelled)});
  std::vector<std::unique_ptr<FileRun>> runs(count);
  std::mutex mutex;
  std::condition_variable wake;
  size_t active = 0, next = 0, head = 0, filesDone = 0;
  bool stop = false;
  size_t lastDone = SIZE_MAX;
  unsigned lastPercent = 101;

  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    const bool cancelled = cancel_.load() != 0;
    if (cancelled) {
      stop = true;
      for (size_t i = head; i < next; ++i) runs[i]->cancel.store(1);
    }

    // Pass on what the first unfinished file has said, and everything of the
    // files finished before it.
    while (head < next) {
      FileRun& run = *runs[head];
      for (; !run.stopped && run.shown < run.lines.size(); ++run.shown) {
        const FileRun::Line& line = run.lines[run.shown];
        if (line.isStatus) {
          events_.OnStatus(line.text);
        } else {
          events_.ShowMessage(line.icon, line.text);
        }
      }
      if (!run.done) break;
      if (run.thread.joinable()) run.thread.join();  // it has nothing left to do
      FileOutcome& outcome = outcomes[head];
      outcome.result = run.result;
      if (run.stopped || (run.result == ToInt(Result::kCancelled) && cancel_.load() != 0)) {
        outcome = {FileState::kSkipped, ToInt(Result::kCancelled)};
        // One file after another, this one would never have been written.
        if (run.stopped && !run.keptOutput.empty()) (void)file_delete(run.keptOutput);
      } else if (run.result == ToInt(Result::kSuccess) && !run.ends) {
        outcome.state = FileState::kConverted;
      } else {
        outcome.state = FileState::kFailed;
        // A file that ended the batch without a code of its own failed for
        // no known reason.
        if (outcome.result == ToInt(Result::kSuccess)) outcome.result = ToInt(Result::kEndOfEvents);
      }
      if (run.ends && !run.stopped && !stop) {
        stop = true;
        for (size_t i = head + 1; i < next; ++i) {
          runs[i]->stopped = true;
          runs[i]->cancel.store(1);
        }
      }
      // Nothing of a passed file is kept: a batch of thousands must not grow.
      runs[head].reset();
      ++filesDone;
      ++head;
    }

    // A finished file further on that ends the batch stops new starts now;
    // the batch ends once the files before it are through.
    bool endPending = false;
    for (size_t i = head; i < next; ++i)
      endPending = endPending || (runs[i]->done && runs[i]->ends);
    while (!stop && !endPending && active < jobs_ && next < count) {
      runs[next] = std::make_unique<FileRun>(mutex, wake, active);
      FileRun& run = *runs[next];
      ++active;
      if (!Launch(run, next)) {
        // No thread to be had: this file runs here, as the dialog's would.
        lock.unlock();
        run.Convert(next);
        lock.lock();
      }
      ++next;
    }

    unsigned sum = 100 * static_cast<unsigned>(filesDone);
    for (size_t i = head; i < next; ++i) sum += runs[i]->done ? 100 : runs[i]->percent.load();
    const unsigned percent = count == 0 ? 100 : static_cast<unsigned>(sum / count);
    if (filesDone != lastDone || percent != lastPercent) {
      lastDone = filesDone;
      lastPercent = percent;
      events_.OnBatchProgress(filesDone, count, percent);
    }
    if (head == count || (stop && head == next)) break;
    wake.wait_for(lock, kCancelPoll);
  }
  lock.unlock();
  events_.OnFinished(BatchExitResult(outcomes));
  return outcomes;
}

}  // namespace tonvelo
