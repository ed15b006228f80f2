#include "cli/stderr_events.h"

#include <algorithm>

#include "cli/terminal_text.h"

namespace tonvelo {

namespace {
constexpr unsigned kBarWidth = 40;
}

void CStderrEvents::ClearBar() {
  if (!barShown_) return;
  std::fputs("\r\033[K", err_);
  barShown_ = false;
}

void CStderrEvents::OnStatus(const std::string& text) {
  ClearBar();
  std::fprintf(err_, "%s\n", EscapeForTerminal(text).c_str());
  std::fflush(err_);
}

void CStderrEvents::OnProgress(unsigned percent) {
  if (!isTerminal_) return;
  percent = std::min(percent, 100u);
  const unsigned filled = percent * kBarWidth / 100;
  std::string bar(filled, '#');
  bar.append(kBarWidth - filled, '.');
  std::fprintf(err_, "\r%s[%s] %3u%%", filesText_.c_str(), bar.c_str(), percent);
  std::fflush(err_);
  barShown_ = true;
}

void CStderrEvents::OnBatchProgress(size_t filesDone, size_t fileCount, unsigned percent) {
  filesText_ = std::to_string(filesDone) + "/" + std::to_string(fileCount) + " files ";
  OnProgress(percent);
}

void CStderrEvents::OnFinished(int result) {
  ClearBar();
  finishedResult_ = result;
  std::fflush(err_);
}

void CStderrEvents::ShowMessage(MessageIcon icon, const std::string& text) {
  ClearBar();
  const char* prefix = "";
  if (icon == MessageIcon::kWarning) prefix = "warning: ";
  if (icon == MessageIcon::kError) prefix = "error: ";
  std::fprintf(err_, "%s%s\n", prefix, EscapeForTerminal(text).c_str());
  std::fflush(err_);
}

}  // namespace tonvelo
