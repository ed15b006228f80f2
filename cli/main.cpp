// tonvelo: the command-line batch converter. Everything but the process
// boundary (signals, the real streams) lives in the testable library.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/cancel_signal.h"
#include "cli/run_tonvelo.h"

int main(int argc, char** argv) {
  // Started with a standard stream closed ("2>&-"), the first output file
  // opened would get its number and the messages would be written into the
  // audio. /dev/null takes the place instead.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) return 1;
  }
  static tonvelo::CancelFlag cancel{0};
  const bool errIsTerminal = ::isatty(STDERR_FILENO) != 0;
  tonvelo::InstallCancelSignals(cancel, errIsTerminal);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return tonvelo::RunTonvelo(args, cancel, {stdout, stderr, errIsTerminal});
}
