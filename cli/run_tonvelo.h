#pragma once
// The whole `tonvelo` command behind main(): parse, collect the files (folders
// searched as "Add Folder" does), run the batch with up to --jobs files at
// once, print the summary, return the exit status (0 when every file
// converted, else the first failing file's result; kExitUsage).

#include <cstdio>
#include <string>
#include <vector>

#include "pipeline/batch_runner.h"

namespace tonvelo {

struct CliStreams {
  std::FILE* out;  // help and the format list
  std::FILE* err;  // everything about a batch
  bool errIsTerminal;
};

int RunTonvelo(const std::vector<std::string>& args, const CancelFlag& cancel,
               const CliStreams& streams, const EncoderFactory& createEncoder = CreateEncoder);

}  // namespace tonvelo
