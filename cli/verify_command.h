#pragma once
// `tonvelo verify [--against SONG] TRACK...` and `tonvelo decode [-o OUT.mid]
// TRACK`: reading finished tracks back. They take the options of `convert`
// that matter to them (--velocity-profile for the comparison, --help) through
// the same parser and report usage errors the same way.

#include <string>
#include <vector>

#include "cli/run_tonvelo.h"

namespace tonvelo {

// `args` are the words after the command's name. Exit status: 0 when every
// track decoded without an error (and agrees with the song); otherwise the
// first failing track's result code (3 unreadable, 6 a fault in its data
// signal or a difference from the song), 64 for a usage error.
int RunVerify(const std::vector<std::string>& args, const CliStreams& streams);
int RunDecode(const std::vector<std::string>& args, const CliStreams& streams);

}  // namespace tonvelo
