#pragma once
// Ctrl-C (SIGINT), SIGTERM and SIGHUP (the terminal closed) cancel the batch
// cleanly: the handler only sets the cancel flag, the conversion thread stops
// and deletes the partial output. A second signal ends the program at once.
// Signals ignored when the program starts (nohup, background jobs) stay so.
// SIGPIPE and SIGXFSZ are ignored: a closed stderr, or a file-size limit
// reached, is a failed write that the batch reports or shrugs off, never the
// sudden end of a night-long batch.

#include "framework/tonvelo_format.h"

namespace tonvelo {

// `flag` must live until the program ends. `onTerminal`: stderr shows a
// progress bar, so the notice starts on a fresh line.
void InstallCancelSignals(CancelFlag& flag, bool onTerminal);

}  // namespace tonvelo
