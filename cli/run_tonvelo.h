#pragma once
// The whole `tonvelo` command behind main(): parse, collect the files (folders
// searched as "Add Folder" does), run the batch on a conversion thread, print
// the closing line, return the exit status (the batch result, or kExitUsage).

#include <cstdio>
#include <string>
#include <vector>

#include "pipeline/conversion_thread.h"

namespace tonvelo {

struct CliStreams {
  std::FILE* out;  // help and the format list
  std::FILE* err;  // everything about a batch
  bool errIsTerminal;
};

int RunTonvelo(const std::vector<std::string>& args, const CancelFlag& cancel,
               const CliStreams& streams, const EncoderFactory& createEncoder = CreateEncoder);

}  // namespace tonvelo
