#include "cli/run_tonvelo.h"

#include <filesystem>
#include <system_error>

#include "cli/options.h"
#include "cli/stderr_events.h"
#include "cli/verify_command.h"
#include "pipeline/catalogue.h"
#include "pipeline/folder_search.h"

namespace tonvelo {

namespace fs = std::filesystem;

namespace {

int UsageError(const CliStreams& streams, const std::string& text) {
  std::fprintf(streams.err, "tonvelo: %s (see tonvelo --help)\n", text.c_str());
  return kExitUsage;
}

// The closing box of the desktop dialog; 3 and 4 have been reported per file.
void ShowClosingMessage(int result, ConversionEvents& events) {
  if (result == ToInt(Result::kSuccess)) {
    events.ShowMessage(MessageIcon::kInformation, "Completed successfully");
  } else if (result == ToInt(Result::kCancelled)) {
    events.ShowMessage(MessageIcon::kWarning, "Conversion cancelled");
  } else if (result != ToInt(Result::kSourceDamaged) && result != ToInt(Result::kWriteError)) {
    events.ShowMessage(MessageIcon::kError, "An unknown error occurred");
  }
}

}  // namespace

int RunTonvelo(const std::vector<std::string>& words, const CancelFlag& cancel,
               const CliStreams& streams, const EncoderFactory& createEncoder) {
  // The first word may name a command; convert is the default.
  const std::string command = words.empty() ? "" : words[0];
  const std::vector<std::string> rest(words.begin() + (words.empty() ? 0 : 1), words.end());
  if (command == "verify") return RunVerify(rest, streams);
  if (command == "decode") return RunDecode(rest, streams);
  const std::vector<std::string>& args = command == "convert" ? rest : words;
  CliOptions options;
  std::string error;
  if (!ParseArguments(args, options, error)) return UsageError(streams, error);
  if (options.help) {
    std::fputs(UsageText().c_str(), streams.out);
    return 0;
  }
  if (options.listFormats) {
    std::fputs(FormatListText().c_str(), streams.out);
    return 0;
  }
  if (options.paths.empty()) return UsageError(streams, "no music file or folder given");
  for (const std::string& path : options.paths) {
    std::error_code ec;
    if (path.empty() || !fs::exists(path, ec)) {
      return UsageError(streams, "no such file or folder: '" + path + "'");
    }
  }

  // A format whose encoder is not in this build would end the batch without
  // a word; say so before anything is touched.
  EncoderOptions probe;
  if (!createEncoder || !createEncoder(options.settings.outputFormat, probe)) {
    const FormatInfo* format = FindFormatById(options.settings.outputFormat);
    return UsageError(streams, std::string("format '") + (format ? format->key : "?") +
                                   "' is not available in this build");
  }

  CStderrEvents events(streams.err, streams.errIsTerminal);
  std::vector<FileEntry> entries;
  for (const std::string& path : options.paths) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      if (AddFolderEntries(path, entries) == 0) {
        events.ShowMessage(MessageIcon::kError, kNoSupportedFilesMessage);
      }
    } else {
      // Named files are taken whatever their extension, as "Add Files" does.
      entries.push_back({path, ""});
    }
  }
  if (entries.empty()) return kExitUsage;

  CConversionThread thread(entries, options.settings, events, cancel);
  thread.SetDiagnosticOutput(options.diagnosticOutput);
  thread.SetDiscardOutput(options.discardOutput);
  thread.SetEncoderFactory(createEncoder);
  int result;
  if (thread.Start()) {
    thread.Join();
    result = events.GetFinishedResult();
  } else {
    result = thread.Run();
  }
  ShowClosingMessage(result, events);
  return result;
}

}  // namespace tonvelo
