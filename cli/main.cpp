// tonvelo: the command-line batch converter. Everything but the process
// boundary (signals, the real streams) lives in the testable library.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cancel_signal.h"
#include "cli/run_tonvelo.h"

int main(int argc, char** argv) {
  static tonvelo::CancelFlag cancel{0};
  const bool errIsTerminal = ::isatty(STDERR_FILENO) != 0;
  tonvelo::InstallCancelSignals(cancel, errIsTerminal);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tonvelo::RunTonvelo(args, cancel, {stdout, stderr, errIsTerminal});
}
