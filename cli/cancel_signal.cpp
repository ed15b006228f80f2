#include "cli/cancel_signal.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>

namespace tonvelo {

namespace {

static_assert(CancelFlag::is_always_lock_free, "the signal handler stores into the cancel flag");

// A signal handler can reach nothing but globals.
CancelFlag* g_cancelFlag = nullptr;
bool g_onTerminal = false;

void OnCancelSignal(int) {
  if (g_cancelFlag != nullptr) g_cancelFlag->store(1);
  // write() is async-signal-safe; stdio is not.
  static constexpr char kFresh[] = "\nCancelling...\n";
  const char* text = g_onTerminal ? kFresh : kFresh + 1;
  const ssize_t length = static_cast<ssize_t>(sizeof kFresh - 1) - (g_onTerminal ? 0 : 1);
  (void)!::write(STDERR_FILENO, text, static_cast<size_t>(length));
}

}  // namespace

void InstallCancelSignals(CancelFlag& flag, bool onTerminal) {
  g_cancelFlag = &flag;
  g_onTerminal = onTerminal;
  struct sigaction action = {};
  action.sa_handler = OnCancelSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second Ctrl-C gets the default: exit now
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored by whoever started us stays ignored: "nohup tonvelo"
    // must outlive its terminal, and a background job is deaf to Ctrl-C.
    struct sigaction previous = {};
    if (sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signal, &action, nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace tonvelo
