#pragma once
// CConversionThread: converts one batch of music files, one after another, on
// its own thread. For each file it derives the output paths, opens the source
// (MIDI, else ESEQ, or a Pianocorder data file), looks for an accompaniment
// beside it, opens the writer, runs the encoder for the chosen format and
// reports the outcome through ConversionEvents. A file that fails is reported
// and the batch goes on, except where a step ends the whole batch.
//
// The batch result is the outcome of the last file that set one: 0 after a
// successful last file even when earlier files failed, 2 after a cancel or an
// output that would overwrite a source, 3 after a file that could not be
// opened, 4 after an output error, else the encoder's code. Two cases set 3
// rather than leave the previous file's code standing: a source too large to
// load ("Not enough memory to open") and a Pianocorder data file
// with a non-Pianocorder format; both are files that could not be converted
// for a reason already reported, and a stale 0 would tell a script that all
// went well.
//
// Beyond the exact-path check against a usable accompaniment, an output is
// never opened over an existing source or same-titled ".wav"/".flac"/".mp3" beside it
// (however spelled; result 2, batch ends). With the discarding writer nothing
// is written, so nothing is deleted either.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "encoders/encoder_factory.h"
#include "framework/conversion_events.h"
#include "framework/tonvelo_format.h"
#include "pipeline/conversion_settings.h"
#include "pipeline/file_entry.h"
#include "readers/pianocorder_source.h"

namespace tonvelo {

// Ends the hidden name an output is written under until it is complete
// (".song.wav.<process>-<n>.tonvelo-part" beside "song.wav").
constexpr const char* kPartialOutputSuffix = ".tonvelo-part";

// Creates the encoder for a format id with its own setters applied; null when
// no encoder exists for the id.
using EncoderFactory =
    std::function<std::unique_ptr<CTonveloFormat>(int formatId, const EncoderOptions& options)>;

class CConversionThread {
 public:
  // The file list, the events receiver and the cancel flag belong to the
  // caller and must outlive the thread; the list is only read.
  CConversionThread(const std::vector<FileEntry>& files, const ConversionSettings& settings,
                    ConversionEvents& events, const CancelFlag& cancel);
  ~CConversionThread();  // waits for a started thread
  CConversionThread(const CConversionThread&) = delete;
  CConversionThread& operator=(const CConversionThread&) = delete;

  // The two hidden switches, fixed when the batch starts.
  void SetDiagnosticOutput(bool on) { diagnosticOutput_ = on; }
  void SetDiscardOutput(bool on) { discardOutput_ = on; }
  // A fixed LX scrambler start for every file (reproducible output).
  void SetScramblerSeed(std::optional<uint32_t> seed) { scramblerSeed_ = seed; }
  // Tests put fakes in place of the real encoders and Pianocorder loading.
  void SetEncoderFactory(EncoderFactory factory) { createEncoder_ = std::move(factory); }
  void SetPianocorderLoader(PianocorderLoader loader) { loadPianocorder_ = std::move(loader); }

  // Runs the batch on a new thread; false when no thread could be started.
  [[nodiscard]] bool Start();
  void Join();
  // Performs the whole batch on the calling thread and returns the batch
  // result, which OnFinished has just delivered.
  int Run();

  // One file of a batch that several threads convert at once (CBatchRunner):
  // converts file `index` of the list with this object's events and cancel
  // flag, without the batch's opening status and warnings, and returns its
  // result; `endsBatch` tells whether the batch must stop after it, and
  // `keptOutput` names the output file it left (empty when none).
  int ConvertOne(size_t index, bool& endsBatch, std::string& keptOutput);
  // The batch's opening status and lossy-format warnings.
  static void AnnounceBatch(const ConversionSettings& settings, ConversionEvents& events);

 private:
  enum class FileFlow { kNextFile, kBatchEnds };
  struct FileWork;

  FileFlow ConvertGuarded(size_t index);
  FileFlow ConvertFile(size_t index, FileWork& work);
  void DerivePaths(const FileEntry& entry, FileWork& work) const;
  static bool CreateOutputFolder(const std::string& outputFolder, std::error_code& ec);
  // These report their own failure; false: go on with the next file.
  bool OpenSource(FileWork& work);
  bool OpenWriter(FileWork& work);
  FileFlow FindAccompaniment(FileWork& work);
  bool WouldOverwriteInput(const FileWork& work);
  static void DiscardOutput(FileWork& work);  // closes and deletes an opened output
  FileFlow Encode(FileWork& work);
  void ReportResult(int result, int errorCode, const FileWork& work);
  void ShowError(const std::string& text) { events_.ShowMessage(MessageIcon::kError, text); }
  // "%s\n\n%s" with the system's text for `errorCode`, or with `problem`
  // when there is no system error.
  void ReportErrorWithSystemText(const std::string& text, int errorCode,
                                 const std::string& problem);
  bool IsMp3() const { return settings_.audioFileType == kAudioFileMp3; }

  const std::vector<FileEntry>& files_;
  ConversionSettings settings_;
  ConversionEvents& events_;
  const CancelFlag& cancel_;
  bool diagnosticOutput_ = false;
  bool discardOutput_ = false;
  std::optional<uint32_t> scramblerSeed_;
  EncoderFactory createEncoder_;
  PianocorderLoader loadPianocorder_;
  int batchResult_ = 0;
  std::string keptOutput_;  // the last file's finished output, if written
  std::thread thread_;
};

}  // namespace tonvelo
