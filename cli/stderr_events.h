#pragma once
// ConversionEvents for the command line: status lines and messages on stderr
// ("warning: ..." and "error: ..." for what the desktop shows in message
// boxes), and a progress bar when stderr is a terminal.

#include <cstdio>
#include <string>

#include "framework/conversion_events.h"

namespace tonvelo {

class CStderrEvents : public ConversionEvents {
 public:
  CStderrEvents(std::FILE* err, bool isTerminal) : err_(err), isTerminal_(isTerminal) {}

  void OnStatus(const std::string& text) override;
  void OnProgress(unsigned percent) override;
  void OnFinished(int result) override;
  void ShowMessage(MessageIcon icon, const std::string& text) override;

  int GetFinishedResult() const { return finishedResult_; }

 private:
  void ClearBar();

  std::FILE* err_;
  bool isTerminal_;
  bool barShown_ = false;
  int finishedResult_ = -1;
};

}  // namespace tonvelo
