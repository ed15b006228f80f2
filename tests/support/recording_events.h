#pragma once
// Records what a conversion reports (status texts, progress, messages, the
// final result) so tests can assert on the exact sequence.

#include <string>
#include <utility>
#include <vector>

#include "framework/conversion_events.h"

namespace tonvelo::test {

class RecordingEvents : public ConversionEvents {
 public:
  void OnStatus(const std::string& text) override { status.push_back(text); }
  void OnProgress(unsigned percent) override { progress.push_back(percent); }
  void OnFinished(int result) override { finished.push_back(result); }
  void ShowMessage(MessageIcon icon, const std::string& text) override {
    messages.emplace_back(icon, text);
  }

  std::vector<std::string> status;
  std::vector<unsigned> progress;
  std::vector<int> finished;
  std::vector<std::pair<MessageIcon, std::string>> messages;
};

}  // namespace tonvelo::test
