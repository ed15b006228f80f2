#include "cli/verify_command.h"

#include <filesystem>
#include <system_error>

#include "cli/options.h"
#include "pipeline/track_check.h"

namespace tonvelo {

namespace fs = std::filesystem;

namespace {

int UsageError(const CliStreams& streams, const std::string& text) {
  std::fprintf(streams.err, "tonvelo: %s (see tonvelo --help)\n", text.c_str());
  return kExitUsage;
}

// Takes `name VALUE` (or `name=VALUE`) out of the arguments; false with an
// error when the value is missing.
bool TakeValue(std::vector<std::string>& args, const std::string& name, std::string& value,
               std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") return true;
    if (args[i] == name) {
      if (i + 1 >= args.size()) {
        error = "option '" + name + "' needs a value";
        return false;
      }
      value = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      return true;
    }
    if (args[i].rfind(name + "=", 0) == 0) {
      value = args[i].substr(name.size() + 1);
      args.erase(args.begin() + static_cast<long>(i));
      return true;
    }
  }
  return true;
}

// The shared parser for the rest; tracks must exist.
bool ParseTracks(std::vector<std::string> args, CliOptions& options, std::string& error) {
  if (!ParseArguments(args, options, error)) return false;
  if (options.help) return true;
  if (options.paths.empty()) {
    error = "no track given";
    return false;
  }
  for (const std::string& path : options.paths) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      error = "no such track: '";
      error += path;
      error += "'";
      return false;
    }
  }
  return true;
}

// A reading command's words: its one valued option, then tracks. Returns the
// exit status when the command ends here (a usage error, or help printed),
// else -1.
int ParseCommand(const std::vector<std::string>& words, const char* flag, std::string& value,
                 CliOptions& options, const CliStreams& streams) {
  std::vector<std::string> args = words;
  std::string error;
  if (!TakeValue(args, flag, value, error) || !ParseTracks(args, options, error)) {
    return UsageError(streams, error);
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), streams.out);
    return 0;
  }
  return -1;
}

}  // namespace

int RunVerify(const std::vector<std::string>& words, const CliStreams& streams) {
  std::string against;
  CliOptions options;
  if (const int done = ParseCommand(words, "--against", against, options, streams); done >= 0) {
    return done;
  }
  std::error_code ec;
  if (!against.empty() && !fs::is_regular_file(against, ec)) {
    std::string text = "no such song: '";
    text += against;
    text += "'";
    return UsageError(streams, text);
  }
  int status = 0;
  for (const std::string& track : options.paths) {
    const VerifyResult v = VerifyTrack(track, against, options.settings);
    std::fputs(v.report.c_str(), streams.out);
    if (status == 0 && v.result != Result::kSuccess) status = ToInt(v.result);
  }
  return status;
}

int RunDecode(const std::vector<std::string>& words, const CliStreams& streams) {
  std::string output;
  CliOptions options;
  if (const int done = ParseCommand(words, "-o", output, options, streams); done >= 0) return done;
  if (options.paths.size() != 1) return UsageError(streams, "decode takes one track");
  const fs::path track = options.paths[0];
  fs::path out = output;
  std::error_code ec;
  if (out.empty()) {
    // Beside the track, never over an existing file (it may be the song).
    out = fs::path(track).replace_extension(".mid");
    if (fs::exists(out, ec)) {
      std::string text = "'";  // appended: GCC's -Wrestrict misfires on "'" + string
      text += out.string();
      text += "' exists; name the output with -o";
      return UsageError(streams, text);
    }
  }
  if (fs::equivalent(out, track, ec))
    return UsageError(streams, "the output would replace the track");
  std::string message;
  const Result r = DecodeTrackToFile(track, out, message);
  const bool failed = r == Result::kSourceDamaged || r == Result::kWriteError ||
                      message.find("no data signal") != std::string::npos ||
                      message.find("not a Pianocorder track") != std::string::npos;
  const char* label = r == Result::kSuccess ? "tonvelo" : failed ? "error" : "warning";
  std::fprintf(streams.err, "%s: %s\n", label, message.c_str());
  return ToInt(r);
}

}  // namespace tonvelo
