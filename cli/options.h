#pragma once
// The command line of `tonvelo`: options map onto the conversion settings and
// the two hidden switches, and are checked against the same constants the
// core uses.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/conversion_settings.h"

namespace tonvelo {

constexpr int kExitUsage = 64;  // sysexits' EX_USAGE
constexpr int kMaxJobs = 256;

struct CliOptions {
  ConversionSettings settings;
  bool diagnosticOutput = false;
  bool discardOutput = false;
  std::optional<uint32_t> seed;  // LX scrambler seed; none: the time of day
  bool help = false;
  bool version = false;
  bool listFormats = false;
  unsigned jobs = 0;               // files converted at once; 0: one per processor
  std::vector<std::string> paths;  // music files or folders, in the order given
};

// Parses the arguments after the program name. On a usage error returns false
// with a one-line description in `error`.
[[nodiscard]] bool ParseArguments(const std::vector<std::string>& args, CliOptions& options,
                                  std::string& error);

// Looks a format up by catalogue key ("disklavier") or id ("8").
[[nodiscard]] bool ParseFormat(const std::string& text, int& formatId);

std::string UsageText();
// "tonvelo <version>" as the build was configured, then the audio libraries'
// versions on a line of their own.
std::string VersionText();
// One line per catalogue row, in row order: id, key, display name.
std::string FormatListText();

}  // namespace tonvelo
