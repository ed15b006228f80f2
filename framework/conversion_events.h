#pragma once
// What the conversion reports to whoever started it: the dialog in the GUI,
// stderr in the command line, a recorder in the tests. All calls come from the
// conversion thread; texts are handed over as owned copies.

#include <string>

namespace tonvelo {

enum class MessageIcon {
  kWarning,      // exclamation icon
  kError,        // stop icon
  kInformation,
};

class ConversionEvents {
 public:
  virtual ~ConversionEvents() = default;
  virtual void OnStatus(const std::string& text) = 0;
  // Percent done of the current file, posted only when it changes.
  virtual void OnProgress(unsigned percent) = 0;
  // Last call of a batch: the batch result code.
  virtual void OnFinished(int result) = 0;
  // Blocks the conversion thread until the user has seen the message.
  virtual void ShowMessage(MessageIcon icon, const std::string& text) = 0;
};

}  // namespace tonvelo
