#pragma once
// Ctrl-C (SIGINT) and SIGTERM cancel the batch cleanly: the handler only sets
// the cancel flag, the conversion thread stops and deletes the partial output.
// A second signal ends the program at once.

#include "framework/tonvelo_format.h"

namespace tonvelo {

// `flag` must live until the program ends. `onTerminal`: stderr shows a
// progress bar, so the notice starts on a fresh line.
void InstallCancelSignals(CancelFlag& flag, bool onTerminal);

}  // namespace tonvelo
