#include "cli/run_tonvelo.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "cli/options.h"
#include "cli/stderr_events.h"
#include "cli/terminal_text.h"
#include "cli/verify_command.h"
#include "pipeline/catalogue.h"
#include "pipeline/folder_search.h"

namespace tonvelo {

namespace fs = std::filesystem;

namespace {

// A text that already points somewhere ("(see --list-formats)") gets
// no second pointer.
int UsageError(const CliStreams& streams, const std::string& text) {
  const char* hint = text.find("(see ") == std::string::npos ? " (see tonvelo --help)" : "";
  std::fprintf(streams.err, "tonvelo: %s%s\n", EscapeForTerminal(text).c_str(), hint);
  return kExitUsage;
}

// The last lines: what became of the files, and which failed.
void PrintSummary(const std::vector<FileEntry>& entries, const std::vector<FileOutcome>& outcomes,
                  std::FILE* err) {
  size_t tally[3] = {0, 0, 0};
  for (const FileOutcome& o : outcomes) ++tally[static_cast<int>(o.state)];
  std::fprintf(err, "%zu converted, %zu failed, %zu skipped\n",
               tally[static_cast<int>(FileState::kConverted)],
               tally[static_cast<int>(FileState::kFailed)],
               tally[static_cast<int>(FileState::kSkipped)]);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].state == FileState::kFailed) {
      std::fprintf(err, "failed: %s\n", EscapeForTerminal(entries[i].sourcePath).c_str());
    }
  }
  std::fflush(err);
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
  if (options.version) {
    std::fputs(VersionText().c_str(), streams.out);
    return 0;
  }
  if (options.listFormats) {
    std::fputs(FormatListText().c_str(), streams.out);
    return 0;
  }
  if (options.paths.empty()) return UsageError(streams, "no music file or folder given");
  // A path that does not exist is not a usage error: it is reported with the
  // batch like any file that cannot be opened, and the others are converted.
  for (const std::string& path : options.paths) {
    if (path.empty()) return UsageError(streams, "no such file or folder: ''");
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
      std::vector<UnreadableFolder> unreadable;
      const size_t found = AddFolderEntries(path, entries, &unreadable);
      for (const UnreadableFolder& folder : unreadable) {
        events.ShowMessage(MessageIcon::kWarning, DescribeUnreadableFolder(folder));
      }
      if (found == 0) {
        events.ShowMessage(MessageIcon::kError,
                           std::string(kNoSupportedFilesMessage) + ": \"" + path + "\"");
      }
    } else {
      // Named files are taken whatever their extension, as "Add Files" does.
      entries.push_back({path, ""});
    }
  }
  if (entries.empty()) return kExitUsage;

  unsigned jobs = options.jobs;
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  CBatchRunner runner(entries, options.settings, events, cancel, jobs);
  runner.SetDiagnosticOutput(options.diagnosticOutput);
  runner.SetDiscardOutput(options.discardOutput);
  runner.SetScramblerSeed(options.seed);
  runner.SetEncoderFactory(createEncoder);
  const std::vector<FileOutcome> outcomes = runner.Run();
  PrintSummary(entries, outcomes, streams.err);
  return BatchExitResult(outcomes);
}

}  // namespace tonvelo
