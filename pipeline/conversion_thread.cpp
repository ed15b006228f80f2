#include "pipeline/conversion_thread.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <new>
#include <system_error>

#include "audio/byte_file.h"
#include "audio/pcm_in_flac.h"
#include "audio/pcm_in_mp3.h"
#include "audio/pcm_in_wav.h"
#include "audio/pcm_out_flac.h"
#include "audio/pcm_out_mp3.h"
#include "audio/pcm_out_null.h"
#include "audio/pcm_out_wav.h"
#include "pipeline/catalogue.h"
#include "pipeline/path.h"
#include "readers/eseq2mid.h"
#include "readers/smf2mid.h"

namespace tonvelo {

namespace fs = std::filesystem;

namespace {

constexpr int kEseqVelocityProfile = kVelocityProfileDisklavier;  // what ESEQ files use

constexpr const char* kDisklavierMp3Warning =
    "Please note that Disklavier tracks compressed to MP3 files (or other lossy formats) will not "
    "play reliably.\nFor best results, encode to WAV format and then compress using FLAC or Apple "
    "Lossless Audio Codec.";
constexpr const char* kCassetteMp3Warning =
    "Please note that Cassette Converter tracks compressed to MP3 files (or other lossy formats) "
    "might not play reliably.\nFor best results, encode to WAV format and then compress using FLAC "
    "or Apple Lossless Audio Codec.";

constexpr const char* kOverwriteAccompaniment =
    "Output file \"%s\" would overwrite source accompaniment audio file! Choose a different "
    "destination folder for the output and try again.";
constexpr const char* kOverwriteSource =
    "Output file \"%s\" would overwrite source music file! Choose a different destination "
    "folder for the output and try again.";

constexpr const char* kNoAudio =
    "Accompaniment file \"%s\" holds no audio that could be read.\n"
    "Omitting accompaniment for this track.";

// True when the recording delivers at least its first frame; leaves it at
// the start.
bool HasAudio(CPCMIn& reader) {
  PcmFrame first;
  return reader.GetLength() > 0 && reader.ReadFrame(first) == AudioResult::kOk &&
         reader.Rewind() == AudioResult::kOk;
}

// Looked for beside the source, in this order: the lossless kinds first.
struct AccompanimentKind {
  const char* extension;
  std::unique_ptr<CPCMIn> (*create)();
};
template <typename Reader>
std::unique_ptr<CPCMIn> MakeReader() {
  return std::make_unique<Reader>();
}
constexpr std::array<AccompanimentKind, 3> kAccompanimentKinds{{
    {".wav", MakeReader<CPCMIn_WAV>},
    {".flac", MakeReader<CPCMIn_FLAC>},
    {".mp3", MakeReader<CPCMIn_MP3>},
}};

// Each audio file type, and what to tell the user when its writer fails
// without a system error to show (the encoder libraries report none).
template <typename Writer>
std::unique_ptr<CPCMOut> MakeWriter() {
  return std::make_unique<Writer>();
}
struct AudioFileKind {
  int type;
  const char* extension;
  std::unique_ptr<CPCMOut> (*create)();
  const char* createProblem;
  const char* writeProblem;
};
constexpr std::array<AudioFileKind, 3> kAudioFileKinds{{
    {kAudioFileWav, ".wav", MakeWriter<CPCMOut_WAV>, "The WAV file could not be started.",
     "The WAV file could not be completed."},
    {kAudioFileMp3, ".mp3", MakeWriter<CPCMOut_MP3>,
     "The MP3 encoder could not be started, or the ID3 tag made from the tags file is too large "
     "to write.",
     "The MP3 encoder reported an error while encoding."},
    {kAudioFileFlac, ".flac", MakeWriter<CPCMOut_FLAC>,
     "The FLAC encoder could not be started, or refused the comments made from the tags file.",
     "The FLAC encoder reported an error while encoding."},
}};

// Unknown types write WAV, as the settings have always read them.
const AudioFileKind& FindAudioFileKind(int type) {
  for (const AudioFileKind& kind : kAudioFileKinds) {
    if (kind.type == type) return kind;
  }
  return kAudioFileKinds[0];
}

// Why a source did not open when the system has no error to tell: the
// reader's own finding, else what its size says.
std::string DescribeOpenProblem(const CMusicFile2MID& reader, OpenResult opened,
                                const std::string& path) {
  if (reader.GetProblem() != nullptr) return reader.GetProblem();
  if (opened == OpenResult::kReadIncomplete) {
    std::error_code ec;
    const auto sizeBytes = fs::file_size(path, ec);
    return "The file ends early" +
           (ec ? std::string() : " (" + std::to_string(sizeBytes) + " bytes)") +
           ": it is too short to be a MIDI or ESEQ file, or it was cut off when it was copied.";
  }
  return "The file could not be read.";
}

// A second paragraph with the reader's finding, when it has one.
std::string WithProblem(std::string text, const CMusicFile2MID* reader) {
  if (reader != nullptr && reader->GetProblem() != nullptr) {
    text += std::string("\n\n") + reader->GetProblem();
  }
  return text;
}

// An output is written under a hidden name beside its final one: in the same
// folder, so the closing rename never crosses file systems; unique per process
// and file, so parallel conversions never share one; with a suffix no source
// or accompaniment search matches, so a leftover after a crash is never taken
// for music.
std::atomic<uint32_t> partialCounter{0};
constexpr size_t kMaxNameBytes = NAME_MAX;

std::string PartialPath(const std::string& folder, const std::string& name) {
  const std::string tail = "." + std::to_string(::getpid()) + "-" +
                           std::to_string(partialCounter.fetch_add(1) + 1) + kPartialOutputSuffix;
  // A final name near the file system's limit must not fail for its longer
  // hidden one; the hidden name is never shown, so it may lose its end.
  const size_t keep = std::min(name.size(), kMaxNameBytes - 1 - tail.size());
  return folder + "." + name.substr(0, keep) + tail;
}

// The message templates carry one "%s" for a file name.
std::string WithName(std::string_view templ, const std::string& name) {
  std::string text(templ);
  const size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, name);
  return text;
}

// True when both name one existing file, however spelled ("./a.wav", a link).
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace

// Everything one file holds. Members are declared in reverse release order,
// so that destruction, too, releases in the order Release() follows.
struct CConversionThread::FileWork {
  std::unique_ptr<CSMF2MID> smf;
  std::unique_ptr<CESEQ2MID> eseq;
  PianocorderSource pianocorder;
  std::unique_ptr<CPCMIn> accompaniment;
  std::unique_ptr<CPCMOut> writer;
  std::unique_ptr<CTonveloFormat> encoder;
  CMusicFile2MID* reader = nullptr;  // smf or eseq once opened
  bool isEseq = false;
  bool writerOpen = false;    // opened and not yet closed
  bool outputOnDisk = false;  // a real writer was opened: the output file exists
  uint32_t sampleRateHz = 0;

  std::string sourcePath;  // as listed: shown in the status and opened
  std::string folder;      // the source's folder
  std::string title;
  std::string extension;
  std::string fileName;      // title "." extension, for messages
  std::string outputFolder;  // ends in the separator unless empty
  std::string outputPath;
  std::string partialPath;  // where the output is written until it is complete
  std::string outputName;  // output file name with extension
  std::string outputBase;  // output path without extension
  std::string tagsPath;
  std::string outOfMemoryText;  // built early: reporting it must not need memory

  ~FileWork() { Release(); }

  void CloseWriter(bool& failed) {
    failed = false;
    if (!writerOpen) return;
    writerOpen = false;
    failed = writer->Close() != AudioResult::kOk;
  }

  void Release() {
    if (reader != nullptr) reader->Close();
    reader = nullptr;
    encoder.reset();
    bool closeFailed;
    CloseWriter(closeFailed);
    writer.reset();
    if (accompaniment) (void)accompaniment->Close();
    accompaniment.reset();
    pianocorder.reset();
    eseq.reset();
    smf.reset();
  }
};

CConversionThread::CConversionThread(const std::vector<FileEntry>& files,
                                     const ConversionSettings& settings, ConversionEvents& events,
                                     const CancelFlag& cancel)
    : files_(files),
      settings_(settings),
      events_(events),
      cancel_(cancel),
      createEncoder_(CreateEncoder),
      loadPianocorder_(LoadPianocorderSource) {}

CConversionThread::~CConversionThread() { Join(); }

bool CConversionThread::Start() {
  if (thread_.joinable()) return false;  // one batch per object
  try {
    thread_ = std::thread([this] { (void)Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CConversionThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void CConversionThread::AnnounceBatch(const ConversionSettings& settings,
                                      ConversionEvents& events) {
  events.OnStatus("Conversion in progress");
  const bool mp3 = settings.audioFileType == kAudioFileMp3;
  if (mp3 && settings.outputFormat == kFormatDisklavier) {
    events.ShowMessage(MessageIcon::kWarning, kDisklavierMp3Warning);
  }
  if (mp3 &&
      (settings.outputFormat == kFormatCassetteA || settings.outputFormat == kFormatCassetteB)) {
    events.ShowMessage(MessageIcon::kWarning, kCassetteMp3Warning);
  }
}

int CConversionThread::ConvertOne(size_t index, bool& endsBatch, std::string& keptOutput) {
  batchResult_ = ToInt(Result::kSuccess);
  keptOutput_.clear();
  endsBatch = ConvertGuarded(index) == FileFlow::kBatchEnds;
  keptOutput = keptOutput_;
  return batchResult_;
}

int CConversionThread::Run() {
  batchResult_ = ToInt(Result::kSuccess);
  AnnounceBatch(settings_, events_);
  for (size_t i = 0; i < files_.size() && batchResult_ != ToInt(Result::kCancelled); ++i) {
    if (ConvertGuarded(i) == FileFlow::kBatchEnds) break;
  }
  events_.OnFinished(batchResult_);
  return batchResult_;
}

CConversionThread::FileFlow CConversionThread::ConvertGuarded(size_t index) {
  FileWork work;
  try {
    const FileFlow flow = ConvertFile(index, work);
    work.Release();
    return flow;
  } catch (const std::bad_alloc&) {
    // Releasing first gives the memory back before anything is reported.
    const bool deleteOutput = work.outputOnDisk;
    work.Release();
    if (deleteOutput) (void)file_delete(work.partialPath);
    batchResult_ = ToInt(Result::kOutOfMemory);
    if (!work.outOfMemoryText.empty()) ShowError(work.outOfMemoryText);
    return FileFlow::kNextFile;
  }
}

CConversionThread::FileFlow CConversionThread::ConvertFile(size_t index, FileWork& work) {
  if (cancel_.load() != 0) {
    batchResult_ = ToInt(Result::kCancelled);
    return FileFlow::kBatchEnds;
  }
  DerivePaths(files_[index], work);
  std::error_code folderError;
  if (settings_.outputPathMode != 0 && !CreateOutputFolder(work.outputFolder, folderError)) {
    // Ends the batch as ever, but with a word: a batch that stops at once
    // with nothing said cannot be put right.
    ReportErrorWithSystemText(WithName("Couldn't create output folder \"%s\"", work.outputFolder),
                              folderError.value(), "It is in the way of a file.");
    batchResult_ = ToInt(Result::kWriteError);
    return FileFlow::kBatchEnds;
  }
  events_.OnStatus("Converting file " + std::to_string(index + 1) + " of " +
                   std::to_string(files_.size()) + "\n" + work.sourcePath);

  if (!OpenSource(work)) return FileFlow::kNextFile;
  work.sampleRateHz = settings_.SampleRateHz();
  if (FindAccompaniment(work) == FileFlow::kBatchEnds) return FileFlow::kBatchEnds;
  if (!discardOutput_ && WouldOverwriteInput(work)) return FileFlow::kBatchEnds;
  if (!OpenWriter(work)) return FileFlow::kNextFile;

  if (work.pianocorder && settings_.outputFormat != kFormatPianocorder &&
      settings_.outputFormat != kFormatHalfSpeed) {
    ShowError("Pianocorder files cannot be converted to other formats.");
    DiscardOutput(work);
    batchResult_ = ToInt(Result::kSourceDamaged);
    return FileFlow::kBatchEnds;
  }
  return Encode(work);
}

void CConversionThread::DerivePaths(const FileEntry& entry, FileWork& work) const {
  const CPath source(entry.sourcePath);
  // The path exactly as listed: rebuilt from its parts, "song." would lose its
  // dot and name another file.
  work.sourcePath = entry.sourcePath;
  work.folder = source.GetLocation();
  work.title = source.GetTitle();
  work.extension = source.GetExtension();
  work.fileName = work.title + "." + work.extension;
  work.outOfMemoryText = WithName("Out of memory while processing \"%s\"", work.fileName);

  std::string folder = work.folder;
  if (settings_.outputPathMode != 0) {
    folder = settings_.customOutputFolder;
    if (folder.empty() || folder.back() != kPathSeparator) folder += kPathSeparator;
    folder += entry.subFolder;
  }
  work.outputFolder = CPath::AddBackslash(folder);

  std::string keyPrefix;
  if (settings_.prependFormatKey != 0) {
    if (const FormatInfo* format = FindFormatById(settings_.outputFormat)) {
      keyPrefix = std::string(format->key) + "_";
    }
  }
  const char* audioExtension = FindAudioFileKind(settings_.audioFileType).extension;
  work.outputBase = work.outputFolder + keyPrefix + work.title;
  work.outputPath = work.outputBase + audioExtension;
  work.partialPath = PartialPath(work.outputFolder, keyPrefix + work.title + audioExtension);
  work.outputName = keyPrefix + work.title + audioExtension;
  work.tagsPath = work.folder + work.title + ".tags.txt";
}

bool CConversionThread::CreateOutputFolder(const std::string& outputFolder, std::error_code& ec) {
  std::string folder = outputFolder;
  while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
  const fs::path path(folder);
  if (path == path.root_path()) return true;  // a root is used as it is
  fs::create_directories(path, ec);
  std::error_code typeEc;
  return !ec || fs::is_directory(path, typeEc);
}

bool CConversionThread::OpenWriter(FileWork& work) {
  if (discardOutput_) {
    work.writer = std::make_unique<CPCMOut_NULL>();
  } else {
    work.writer = FindAudioFileKind(settings_.audioFileType).create();
  }
  std::error_code ec;
  // The output is written under another name first, so a folder in its way
  // would only show at the end; it is the output that cannot be created.
  const bool folderInTheWay = !discardOutput_ && fs::is_directory(work.outputPath, ec);
  errno = folderInTheWay ? EISDIR : 0;
  if (folderInTheWay || work.writer->Open(work.partialPath, work.sampleRateHz, work.title, work.tagsPath,
                        work.accompaniment != nullptr,
                        settings_.outputFormat == kFormatHalfSpeed) != AudioResult::kOk) {
    ReportErrorWithSystemText(WithName("Couldn't create output file \"%s\"", work.outputName),
                              errno, FindAudioFileKind(settings_.audioFileType).createProblem);
    // A writer that fails after creating its file (a full disk at the
    // header) leaves it behind.
    if (!discardOutput_ && !folderInTheWay) (void)file_delete(work.partialPath);
    batchResult_ = ToInt(Result::kWriteError);
    return false;
  }
  work.writerOpen = true;
  work.outputOnDisk = !discardOutput_;
  return true;
}

void CConversionThread::DiscardOutput(FileWork& work) {
  bool closeFailed;
  work.CloseWriter(closeFailed);
  if (work.outputOnDisk) (void)file_delete(work.partialPath);
}

CConversionThread::FileFlow CConversionThread::Encode(FileWork& work) {
  // The encoder's own setters come with it from the factory.
  EncoderOptions options;
  options.sustainTimingOffset = settings_.sustainTimingOffset;
  options.synthPropPedaling = settings_.synthPropPedaling != 0;
  options.discardOutput = discardOutput_;
  options.scramblerSeed = scramblerSeed_;
  options.pianocorderFile = work.pianocorder.get();
  if (createEncoder_) work.encoder = createEncoder_(settings_.outputFormat, options);
  if (!work.encoder) {
    DiscardOutput(work);
    return FileFlow::kBatchEnds;
  }
  CTonveloFormat& encoder = *work.encoder;
  encoder.SetOutputBasePath(work.outputBase);
  encoder.SetDiagnosticOutput(diagnosticOutput_);
  encoder.SetSampleRate(work.sampleRateHz);
  encoder.SetVelocityProfile(work.isEseq ? kEseqVelocityProfile : settings_.velocityProfile);
  encoder.SetNotifyWindow(&events_);
  encoder.SetOutput(work.writer.get());
  if (work.accompaniment) encoder.SetAccompaniment(work.accompaniment.get());
  encoder.SetSource(work.reader);
  encoder.SetCancelFlag(&cancel_);
  encoder.SetTitle(work.title);

  errno = 0;
  int result = ToInt(encoder.Encode());
  int errorCode = errno;  // before closing can change it
  batchResult_ = result;
  errno = 0;
  bool closeFailed;
  work.CloseWriter(closeFailed);
  if (closeFailed) {
    if (result != ToInt(Result::kWriteError)) errorCode = errno;
    result = batchResult_ = ToInt(Result::kWriteError);
  }
  // Only a complete output takes its final name; until then an older file of
  // that name stays as it was.
  errno = 0;
  if (result == ToInt(Result::kSuccess) && work.outputOnDisk &&
      !file_commit(work.partialPath, work.outputPath)) {
    errorCode = errno;
    result = batchResult_ = ToInt(Result::kWriteError);
  }

  ReportResult(result, errorCode, work);
  if (result != ToInt(Result::kSuccess) && work.outputOnDisk) (void)file_delete(work.partialPath);
  if (result == ToInt(Result::kSuccess) && work.outputOnDisk) keptOutput_ = work.outputPath;
  return FileFlow::kNextFile;
}

bool CConversionThread::OpenSource(FileWork& work) {
  work.smf = std::make_unique<CSMF2MID>();
  work.eseq = std::make_unique<CESEQ2MID>();

  OpenResult opened;
  errno = 0;
  if (work.extension == "pc") {
    opened = loadPianocorder_ ? loadPianocorder_(work.sourcePath, work.pianocorder)
                              : OpenResult::kNotThisFormat;
  } else {
    opened = work.smf->Open(work.sourcePath);
    if (opened == OpenResult::kNotThisFormat) {
      errno = 0;
      opened = work.eseq->Open(work.sourcePath);
      work.isEseq = true;
    }
    if (opened == OpenResult::kOpened) {
      work.reader = work.isEseq ? static_cast<CMusicFile2MID*>(work.eseq.get()) : work.smf.get();
    }
  }
  const int errorCode = errno;
  // The reader whose answer counts, for its account of what is wrong.
  const CMusicFile2MID* tried =
      work.isEseq ? static_cast<CMusicFile2MID*>(work.eseq.get()) : work.smf.get();

  switch (opened) {
    case OpenResult::kOpened:
      if (work.pianocorder && work.pianocorder->frameCount < work.pianocorder->declaredFrames) {
        events_.ShowMessage(MessageIcon::kWarning,
                            WithName("File \"%s\" holds fewer frames than its header announces; "
                                     "the frames present are played.",
                                     work.fileName));
      }
      return true;
    case OpenResult::kNotThisFormat:
      ShowError(WithName("\"%s\" is not a valid MIDI or ESEQ file", work.fileName));
      break;
    case OpenResult::kDamaged:
      ShowError(WithProblem(WithName("File \"%s\" is damaged", work.fileName), tried));
      break;
    case OpenResult::kOutOfMemory:
      ShowError(WithName("Not enough memory to open \"%s\"", work.fileName));
      break;
    default:
      ReportErrorWithSystemText(WithName("Unable to open file \"%s\"", work.fileName), errorCode,
                                DescribeOpenProblem(*tried, opened, work.sourcePath));
      break;
  }
  batchResult_ = ToInt(Result::kSourceDamaged);
  return false;
}

CConversionThread::FileFlow CConversionThread::FindAccompaniment(FileWork& work) {
  for (const AccompanimentKind& kind : kAccompanimentKinds) {
    const std::string candidate = work.folder + work.title + kind.extension;
    const std::string name = work.title + kind.extension;
    std::unique_ptr<CPCMIn> reader = kind.create();
    if (reader->Open(candidate) != AudioResult::kOk) continue;
    if (reader->GetSampleRate() != work.sampleRateHz) {
      ShowError(
          WithName("Accompaniment file \"%s\" does not match selected sample rate.\n"
                   "Omitting accompaniment for this track.",
                   name));
      (void)reader->Close();
      continue;
    }
    if (reader->GetBitsPerSample() != 16) {
      ShowError(
          WithName("Accompaniment file \"%s\" does not contain 16-bit samples.\n"
                   "Omitting accompaniment for this track.",
                   name));
      (void)reader->Close();
      continue;
    }
    if (work.outputPath == candidate) {
      ShowError(WithName(kOverwriteAccompaniment, work.outputName));
      batchResult_ = ToInt(Result::kCancelled);
      return FileFlow::kBatchEnds;
    }
    if (!HasAudio(*reader)) {
      // A recording channel left empty without a word looks like a fault of
      // the converter; say that the file itself held nothing.
      events_.ShowMessage(MessageIcon::kWarning, WithName(kNoAudio, name));
      (void)reader->Close();
      continue;
    }
    work.accompaniment = std::move(reader);
    break;
  }
  return FileFlow::kNextFile;
}

bool CConversionThread::WouldOverwriteInput(const FileWork& work) {
  // The guard of the accompaniment search compares texts and only sees a
  // recording it could use; one at the wrong rate or width, one that would not
  // open, one named differently through a link, and the source itself must
  // survive as well.
  if (SameFile(work.outputPath, work.sourcePath)) {
    ShowError(WithName(kOverwriteSource, work.outputName));
    batchResult_ = ToInt(Result::kCancelled);
    return true;
  }
  for (const AccompanimentKind& kind : kAccompanimentKinds) {
    if (SameFile(work.outputPath, work.folder + work.title + kind.extension)) {
      ShowError(WithName(kOverwriteAccompaniment, work.outputName));
      batchResult_ = ToInt(Result::kCancelled);
      return true;
    }
  }
  return false;
}

void CConversionThread::ReportResult(int result, int errorCode, const FileWork& work) {
  switch (static_cast<Result>(result)) {
    case Result::kSuccess:
    case Result::kCancelled:
      return;
    case Result::kSourceDamaged:
      ShowError(WithProblem(WithName("File \"%s\" is damaged", work.fileName), work.reader));
      return;
    case Result::kWriteError:
      ReportErrorWithSystemText(WithName("Error writing to output file \"%s\"", work.outputName),
                                errorCode, FindAudioFileKind(settings_.audioFileType).writeProblem);
      return;
    case Result::kOutOfMemory:
      ShowError(work.outOfMemoryText);
      return;
    case Result::kDataFormatError:
      ShowError(WithName("Data formatting error while processing \"%s\"", work.fileName));
      return;
    default:
      ShowError(WithName("Unknown error while processing \"%s\"", work.fileName));
      return;
  }
}

void CConversionThread::ReportErrorWithSystemText(const std::string& text, int errorCode,
                                                  const std::string& problem) {
  if (errorCode == 0) {
    // No system error was recorded: "Error 0 occurred." would tell nothing,
    // so say what went wrong instead.
    ShowError(text + "\n\n" + problem);
    return;
  }
  std::string systemText = std::generic_category().message(errorCode);
  if (systemText.rfind("Unknown error", 0) == 0) {
    systemText = "Error " + std::to_string(static_cast<unsigned long>(errorCode)) + " occurred.";
  }
  ShowError(text + "\n\n" + systemText);
}

}  // namespace tonvelo
