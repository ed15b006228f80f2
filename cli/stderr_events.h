#pragma once
// BatchEvents for the command line: status lines and messages on stderr
// ("warning: ..." and "error: ..." for what the desktop shows in message
// boxes), and a progress bar when stderr is a terminal: files done of the
// total and the batch's percent.

#include <cstdio>
#include <string>

#include "pipeline/batch_runner.h"

namespace tonvelo {

class CStderrEvents : public BatchEvents {
 public:
  CStderrEvents(std::FILE* err, bool isTerminal) : err_(err), isTerminal_(isTerminal) {}

  void OnStatus(const std::string& text) override;
  void OnProgress(unsigned percent) override;
  void OnFinished(int result) override;
  void ShowMessage(MessageIcon icon, const std::string& text) override;
  void OnBatchProgress(size_t filesDone, size_t fileCount, unsigned percent) override;

  int GetFinishedResult() const { return finishedResult_; }

 private:
  void ClearBar();

  std::FILE* err_;
  bool isTerminal_;
  bool barShown_ = false;
  std::string filesText_;  // "done/total " before the bar, once known
  int finishedResult_ = -1;
};

}  // namespace tonvelo
