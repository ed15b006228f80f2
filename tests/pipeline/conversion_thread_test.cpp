// The conversion thread in a temporary folder, with the real readers and
// writers and fake encoders injected through the factory.

#include "pipeline/conversion_thread.h"

#include <cstring>
#include <deque>
#include <new>
#include <tuple>

#include "pipeline/catalogue.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/eseq_builder.h"
#include "tests/support/midi_builder.h"
#include "tests/support/recording_events.h"

namespace tonvelo::test {
namespace {

using Strings = std::vector<std::string>;
using Outcome = std::pair<int, Strings>;  // the batch's result and its message texts
const Bytes kOld{'o', 'l', 'd'};

std::string Overwrite(const std::string& name, const std::string& what = "accompaniment audio") {
  return "Output file \"" + name + "\" would overwrite source " + what +
         " file! Choose a different destination folder for the output and try again.";
}
std::string Omitting(const std::string& name, const std::string& why) {
  return "Accompaniment file \"" + name + "\" " + why + ".\nOmitting accompaniment for this track.";
}
const std::string kWrongRate = Omitting("song.wav", "does not match selected sample rate");

struct EncoderRecord {
  int formatId = -1;
  EncoderOptions options;
  std::string outputBase, title, source;  // source: the reader's description, "" for none
  uint32_t sampleRateHz = 0;
  int velocityProfile = -1;
  bool diagnostic = false;
  const ConversionEvents* events = nullptr;
  const CancelFlag* cancel = nullptr;
  uint32_t accompanimentRateHz = 0;  // 0: no accompaniment
};

enum class Mode { kFrames, kUntilCancelled, kThrowBadAlloc };

// Records what the thread handed it, writes `frames` frames (data 1000, 1001,
// ... on the right) and returns `result`; or runs until cancelled, or throws.
class FakeEncoder : public CTonveloFormat {
 public:
  FakeEncoder(EncoderRecord& r, Mode mode, uint32_t frames, Result result)
      : r_(r), mode_(mode), frames_(frames), result_(result) {}
  Result Encode() override {
    r_ = {r_.formatId,     r_.options,       outputBasePath_.string(),
          title_,          source_ != nullptr ? source_->GetDescription() : "",
          sampleRateHz_,   velocityProfile_, diagnosticOutput_,
          events_,         cancel_,          accompaniment_ ? accompaniment_->GetSampleRate() : 0};
    // Progress lets a test's events press "Cancel"; the bound stops a broken cancel path.
    for (uint32_t block = 0; mode_ == Mode::kUntilCancelled && block < 1000; ++block) {
      if (Write(100) != Result::kSuccess) return Result::kWriteError;
      PostProgress(block % 100);
      if (IsCancelled()) return Result::kCancelled;
    }
    if (Write(frames_) != Result::kSuccess) return Result::kWriteError;
    if (mode_ == Mode::kThrowBadAlloc) throw std::bad_alloc();
    return result_;
  }
  Result Advance() override { return Result::kSuccess; }
  uint32_t GetPosition() override { return position_; }

 private:
  Result Write(uint32_t count) {
    std::vector<int16_t> data(count);
    for (int16_t& d : data) d = static_cast<int16_t>(1000 + position_++ % 1000);
    return WriteData(data.data(), count);
  }

  EncoderRecord& r_;
  Mode mode_;
  uint32_t frames_;
  Result result_;
  uint32_t position_ = 0;
};

class ThreadTest : public AudioTest {
 protected:
  std::string File(const std::string& name, const Bytes& bytes) const {
    fs::create_directories(Path(name).parent_path());
    WriteBytes(Path(name), bytes);
    return Path(name).string();
  }
  std::string Midi(const std::string& name) const {
    MidiBuilder midi(0, 480);
    midi.AddTrack().NoteOn(0, 0, 60, 100).NoteOff(480, 0, 60).End();
    return File(name, midi.Build());
  }
  // One batch on the calling thread, reported to `events` (else to a fresh events_).
  Outcome Run(const Strings& paths, const Strings& subFolders = {},
              RecordingEvents* events = nullptr) {
    if (events == nullptr) events = &(events_ = RecordingEvents());
    std::vector<FileEntry> files;
    for (size_t i = 0; i < paths.size(); ++i) {
      files.push_back({paths[i], i < subFolders.size() ? subFolders[i] : ""});
    }
    CConversionThread thread(files, settings_, *events, cancel_);
    thread.SetDiagnosticOutput(diagnostic_);
    thread.SetDiscardOutput(discard_);
    thread.SetEncoderFactory([this](int id, const EncoderOptions& options) {
      std::unique_ptr<CTonveloFormat> encoder;
      if (!encoderAvailable_) return encoder;
      records_.emplace_back().formatId = id;
      records_.back().options = options;
      return std::unique_ptr<CTonveloFormat>(
          std::make_unique<FakeEncoder>(records_.back(), mode_, frames_, result_));
    });
    if (pianocorderLoader_) thread.SetPianocorderLoader(pianocorderLoader_);
    Outcome out{thread.Run(), {}};
    for (const auto& m : events->messages) out.second.push_back(m.second);
    return out;
  }
  // The hidden outputs in the making left in the folder.
  long Partial() const {
    return std::count_if(fs::directory_iterator(dir_), {}, [](const auto& e) {
      return e.path().string().find(kPartialOutputSuffix) != std::string::npos;
    });
  }

  ConversionSettings settings_;
  CancelFlag cancel_{0};
  RecordingEvents events_;
  bool diagnostic_ = false, discard_ = false, encoderAvailable_ = true;
  Mode mode_ = Mode::kFrames;
  uint32_t frames_ = 500;
  Result result_ = Result::kSuccess;
  PianocorderLoader pianocorderLoader_;
  std::deque<EncoderRecord> records_;  // stable addresses for the encoders
};

TEST_F(ThreadTest, EmptyListShowsOnlyTheLossyFormatWarnings) {
  const auto note = [](const std::string& who, const std::string& will) {
    return "Please note that " + who +
           " tracks compressed to MP3 files (or other lossy formats) " + will +
           " play reliably.\nFor best results, encode to WAV format and then compress using FLAC "
           "or Apple Lossless Audio Codec.";
  };
  const std::string disklavier = note("Disklavier", "will not");
  const std::string cassette = note("Cassette Converter", "might not");
  for (auto [format, mp3, messages] : std::vector<std::tuple<int, int, Strings>>{
           {8, 0, {}}, {0, 1, {}}, {8, 1, {disklavier}}, {10, 1, {cassette}}, {11, 1, {cassette}}}) {
    settings_.outputFormat = format;
    settings_.audioFileType = mp3;
    EXPECT_EQ(Run({}), Outcome(0, messages)) << format;
    EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
    EXPECT_EQ(events_.finished, std::vector<int>{0});
    for (const auto& m : events_.messages) EXPECT_EQ(m.first, MessageIcon::kWarning);
  }
}

// Output names take the catalogue key when asked; the track holds exactly the
// encoder's frames, without accompaniment or delay.
TEST_F(ThreadTest, OutputNamesAndTheTrack) {
  const std::string song = Midi("song.mid");
  for (auto [format, key, mp3, name] : {std::tuple{9, 1, 0, "spirio_song.wav"},
                                        {9, 0, 0, "song.wav"},
                                        {42, 1, 0, "song.wav"},
                                        {8, 1, 1, "disklavier_song.mp3"}}) {
    settings_.outputFormat = format;
    settings_.prependFormatKey = key;
    settings_.audioFileType = mp3;
    EXPECT_EQ(Run({song}).first, 0);
    EXPECT_TRUE(fs::exists(Path(name))) << name;
    EXPECT_EQ(records_.back().outputBase + (mp3 ? ".mp3" : ".wav"), Path(name).string());
    fs::remove(Path(name));
  }
  EXPECT_EQ(events_.status, (Strings{"Conversion in progress", "Converting file 1 of 1\n" + song}));
  settings_ = ConversionSettings();
  ASSERT_EQ(Run({song}), Outcome());
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("song.wav"), wav));
  EXPECT_EQ(std::tie(wav.rate, wav.right.back()), std::tuple(44100u, 1499));
  EXPECT_EQ(wav.left, std::vector<int16_t>(500, 0));
  EXPECT_EQ(wav.right.size(), 500u);
}

TEST_F(ThreadTest, CustomFolderMirrorsSubFoldersAndTagsStayBesideTheSource) {
  const std::string a = Midi("in/Rolls/a.mid"), b = Midi("in/Rolls/Sub/b.mid"), c = Midi("in/c.mid");
  settings_.outputPathMode = 1;
  for (const std::string& custom : {Path("out").string(), Path("out").string() + "/"}) {
    settings_.customOutputFolder = custom;
    records_.clear();
    ASSERT_EQ(Run({a, b, c}, {"Rolls/", "Rolls/Sub/", ""}), Outcome());
    EXPECT_EQ(records_[0].outputBase, Path("out/Rolls/a").string());
    EXPECT_EQ(records_[1].outputBase, Path("out/Rolls/Sub/b").string());
    EXPECT_EQ(records_[2].outputBase, Path("out/c").string());
    EXPECT_TRUE(fs::exists(Path("out/Rolls/Sub/b.wav")));
  }
  File("in/c.tags.txt", {'T', 'I', 'T', '2', '=', 'M', 'i', 'r', 'r', 'o', 'r'});
  settings_.audioFileType = kAudioFileMp3;
  ASSERT_EQ(Run({c}), Outcome());
  const Bytes mp3 = ReadBytes(Path("out/c.mp3"));
  const std::string tag = "Mirror";
  EXPECT_NE(std::search(mp3.begin(), mp3.end(), tag.begin(), tag.end()), mp3.end());

  // A folder that cannot be created ends the batch, saying why.
  File("blocker", {1});
  settings_.customOutputFolder = Path("blocker/out").string();
  records_.clear();
  EXPECT_EQ(Run({a, b}, {"Rolls/"}),
            Outcome(4, {"Couldn't create output folder \"" + Path("blocker/out/Rolls/").string() +
                        "\"\n\nNot a directory"}));
  EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
  EXPECT_TRUE(records_.empty());
}

// The recording beside the source is the first of song.wav, song.mp3 that
// fits the output rate and holds 16-bit samples; no output may overwrite it,
// nor a source, and neither is ever changed.
TEST_F(ThreadTest, AccompanimentIsChosenByRateAndWidthAndNeverOverwritten) {
  const std::string song = Midi("song.mid");
  const auto wav = [](uint32_t rate) {
    return BuildWav16(rate, 2, std::vector<int16_t>(4000, 1234));
  };
  ASSERT_TRUE(WriteToneMp3(Path("tone.mp3"), 44100));
  const Bytes tone = ReadBytes(Path("tone.mp3"));
  Bytes cut = wav(44100);
  cut.resize(30);  // ends inside the fmt chunk
  struct Case {
    Bytes wav, mp3;
    int key, rate48;
    Outcome outcome;
    uint32_t accompanimentRate;
  };
  // clang-format off
  const Case cases[] = {
    {wav(44100), {},   0, 0, {2, {Overwrite("song.wav")}}, 0},  // ends the batch
    {wav(44100), {},   1, 0, {0, {}}, 44100},
    {wav(48000), {},   0, 0, {2, {kWrongRate, Overwrite("song.wav")}}, 0},  // passed over, still guarded
    {wav(48000), tone, 1, 0, {0, {kWrongRate}}, 44100},
    {wav(48000), tone, 1, 1, {0, {}}, 48000},
    {BuildWav8(44100, 1, std::vector<uint8_t>(300, 128)), {}, 1, 0,
     {0, {Omitting("song.wav", "does not contain 16-bit samples")}}, 0},
    // Broken recordings are left out; the text has no stream header: rate 0.
    {cut, Bytes(300, 'x'), 1, 0, {0, {Omitting("song.mp3", "does not match selected sample rate")}}, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    fs::remove(Path("song.mp3"));
    File("song.wav", c.wav);
    if (!c.mp3.empty()) File("song.mp3", c.mp3);
    settings_.prependFormatKey = c.key;
    settings_.sampleRateChoice = c.rate48;
    records_.clear();
    EXPECT_EQ(Run({song, Midi("other.mid")}), c.outcome) << &c - cases;
    for (const auto& m : events_.messages) EXPECT_EQ(m.first, MessageIcon::kError);
    ASSERT_EQ(records_.size(), c.outcome.first == 0 ? 2u : 0u) << &c - cases;
    if (c.outcome.first == 0) {
      EXPECT_EQ(records_[0].accompanimentRateHz, c.accompanimentRate) << &c - cases;
      EXPECT_EQ(records_[0].sampleRateHz, c.rate48 ? 48000u : 44100u);
      EXPECT_TRUE(fs::exists(Path("lx_song.wav")));
    }
    EXPECT_EQ(ReadBytes(Path("song.wav")), c.wav);
    EXPECT_EQ(ReadBytes(Path("song.mp3")), c.mp3);
  }
  const Bytes midi = ReadBytes(song);
  settings_.prependFormatKey = 0;
  EXPECT_EQ(Run({File("tune.wav", midi)}), Outcome(2, {Overwrite("tune.wav", "music")}));
  EXPECT_EQ(ReadBytes(Path("tune.wav")), midi);
}

// An older output of the name survives every failure; only a complete track
// replaces it, no partial file is left behind, and discarding touches nothing.
TEST_F(ThreadTest, EncoderResultsBecomeMessagesAndFailedOutputsAreDeleted) {
  const std::string song = Midi("song.mid");
  settings_.prependFormatKey = 1;
  const std::string unknown = "Unknown error while processing \"song.mid\"";
  // clang-format off
  for (auto [code, discard, message] : std::vector<std::tuple<int, bool, std::string>>{
           {0, false, ""}, {2, false, ""}, {3, false, "File \"song.mid\" is damaged"},
           {4, false, "Error writing to output file \"lx_song.wav\"\n\nThe WAV file could not be completed."},
           {5, false, "Out of memory while processing \"song.mid\""},
           {6, false, "Data formatting error while processing \"song.mid\""},
           {1, false, unknown}, {9, false, unknown}, {0, true, ""},
           {6, true, "Data formatting error while processing \"song.mid\""}}) {
    // clang-format on
    File("lx_song.wav", kOld);
    result_ = static_cast<Result>(code);
    discard_ = discard;
    EXPECT_EQ(Run({song}), Outcome(code, message.empty() ? Strings{} : Strings{message}));
    EXPECT_EQ(records_.back().options.discardOutput, discard);
    EXPECT_EQ(ReadBytes(Path("lx_song.wav")) == kOld, code != 0 || discard) << code;
    EXPECT_EQ(Partial(), 0) << code;
  }
}

TEST_F(ThreadTest, CancelStopsTheBatchAndDeletesThePartialOutput) {
  struct CancellingEvents : RecordingEvents {
    explicit CancellingEvents(CancelFlag& f) : flag(f) {}
    void OnProgress(unsigned) override { flag.store(1); }  // the user presses Cancel
    CancelFlag& flag;
  } events(cancel_);
  mode_ = Mode::kUntilCancelled;
  EXPECT_EQ(Run({Midi("a.mid"), Midi("b.mid")}, {}, &events), Outcome(2, {}));
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_FALSE(fs::exists(Path("a.wav")));
  EXPECT_EQ(Partial(), 0);
  EXPECT_EQ(events.finished, std::vector<int>{2});
  EXPECT_EQ(Run({Midi("c.mid")}), Outcome(2, {}));  // still set: no file starts
  EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
}

// Without a system error the second paragraph says what is wrong; the last
// file decides the batch's result.
TEST_F(ThreadTest, UnreadableSourcesAreReportedAndTheLastFileDecides) {
  const std::string good = Midi("good.mid"), text = File("notes.txt", Bytes(100, 'x'));
  Bytes cut = ReadBytes(good);
  cut.resize(cut.size() - 3);
  MidiBuilder patterns(2, 480);
  patterns.AddTrack().NoteOn(0, 0, 60, 100).End();
  const Strings files = {
      text, Path("missing.mid").string(),
      File("broken.mid", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1, 0xE0, 'X', 'X'}),
      File("cut.mid", cut), File("song.pc", ReadBytes(good)), File("patterns.mid", patterns.Build()),
      File("stub.mid", {'M', 'T', 'h', 'd', 0}), good};
  EXPECT_EQ(Run(files),
            Outcome(0, {"\"notes.txt\" is not a valid MIDI or ESEQ file",
                        "Unable to open file \"missing.mid\"\n\nNo such file or directory",
                        "File \"broken.mid\" is damaged\n\nIts header announces more tracks than it "
                        "holds (an \"MTrk\" chunk is missing).",
                        "File \"cut.mid\" is damaged\n\nA track runs past the end of the file: the "
                        "file was cut off.",
                        "\"song.pc\" is not a valid MIDI or ESEQ file",
                        "Unable to open file \"patterns.mid\"\n\nIt is a MIDI file of format 2 (a "
                        "set of independent patterns), which does not play as one piece; only "
                        "formats 0 and 1 can be converted.",
                        "Unable to open file \"stub.mid\"\n\nThe file ends early (5 bytes): it is "
                        "too short to be a MIDI or ESEQ file, or it was cut off when it was copied."}));
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_FALSE(fs::exists(Path("notes.wav")));
  fs::remove(Path("good.wav"));  // else it would be good.mid's recording next time
  EXPECT_EQ(Run({good, text}).first, 3);
}

TEST_F(ThreadTest, ReadersAndSettingsReachTheEncoder) {
  // Only an exact ".pc" is Pianocorder data; SONG.PC is read as MIDI.
  const std::string upper = File("SONG.PC", ReadBytes(Midi("x.mid")));
  const std::string eseq =
      File("song.fil", EseqBuilder().Events({0xF1, 0x00, 0x90, 60, 1, 0xF2}).Build());
  // "tune." is opened as listed; "tune", which its parts also spell, is text.
  const std::string dotted = File("tune.", ReadBytes(upper));
  File("tune", Bytes(100, 'x'));
  settings_ = {9, 0, 0, 0, "", 1, kVelocityProfileFull, 1, -150};
  diagnostic_ = true;
  EXPECT_EQ(Run({upper, eseq, dotted}), Outcome());
  EXPECT_EQ(events_.status.back(), "Converting file 3 of 3\n" + dotted);
  ASSERT_EQ(records_.size(), 3u);
  const EncoderRecord& r = records_[0];
  EXPECT_EQ(std::tie(r.formatId, r.source, r.title, r.velocityProfile, r.sampleRateHz),
            std::make_tuple(9, "Standard MIDI file", "SONG", kVelocityProfileFull, 48000u));
  EXPECT_EQ(std::tie(r.diagnostic, r.options.sustainTimingOffset, r.options.synthPropPedaling,
                     r.options.discardOutput, r.events, r.cancel),
            std::make_tuple(true, -150, true, false, &events_, &cancel_));
  EXPECT_TRUE(fs::exists(Path("SONG.wav")));
  EXPECT_EQ(records_[1].source, "Yamaha ESEQ file");
  EXPECT_EQ(records_[1].velocityProfile, kVelocityProfileDisklavier);  // always, for ESEQ
}

TEST_F(ThreadTest, PianocorderDataPlaysOnlyAsPianocorder) {
  pianocorderLoader_ = [](const fs::path&, PianocorderSource& source) {
    source = std::make_shared<PianocorderFile>();  // the loader only says "loaded"
    return OpenResult::kOpened;
  };
  const std::string pc = File("tune.pc", Bytes(64, 0));
  EXPECT_EQ(Run({pc, Midi("next.mid")}),
            Outcome(3, {"Pianocorder files cannot be converted to other formats."}));
  EXPECT_TRUE(records_.empty());
  EXPECT_FALSE(fs::exists(Path("tune.wav")));
  EXPECT_EQ(events_.status.size(), 2u);

  settings_.outputFormat = kFormatHalfSpeed;
  EXPECT_EQ(Run({pc}), Outcome());
  EXPECT_EQ(records_.back().source, "");  // no music reader
  StereoWav wav;                          // the writer doubles every frame
  ASSERT_TRUE(ReadStereoWav(Path("tune.wav"), wav));
  ASSERT_EQ(wav.right.size(), 1000u);
  EXPECT_EQ(wav.right[0], wav.right[1]);
  EXPECT_EQ(wav.right[998], 1499);
}

TEST_F(ThreadTest, BrokenPianocorderFilesAreReportedAndShortOnesLimited) {
  settings_.outputFormat = kFormatPianocorder;
  Bytes header{'P', 'I', 'A', 'N', 'O', 'C', 'O', 'R', 'D', 'E', 'R', 0, 0, 0, 9, 0x11, 0x94};
  header.resize(32, 0);
  Bytes oneFrame = header;
  oneFrame.resize(48, 0);
  Bytes wrong = oneFrame;
  wrong[0] = 'p';
  EXPECT_EQ(Run({File("empty.pc", {}), File("bare.pc", header), File("wrong.pc", wrong),
                 File("short.pc", oneFrame)}),
            Outcome(0, {"\"empty.pc\" is not a valid MIDI or ESEQ file",
                        "File \"bare.pc\" is damaged", "\"wrong.pc\" is not a valid MIDI or ESEQ file",
                        "File \"short.pc\" holds fewer frames than its header announces; the frames "
                        "present are played."}));
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_NE(records_[0].options.pianocorderFile, nullptr);  // handed to the encoder
}

TEST_F(ThreadTest, FailuresOutsideTheEncoderKeepOtherFilesAlone) {
  const std::string song = Midi("song.mid");
  settings_.prependFormatKey = 1;
  File("lx_song.wav", kOld);
  // No encoder for the format: the batch ends without a word or a file.
  encoderAvailable_ = false;
  EXPECT_EQ(Run({Path("notes.txt").string(), song, song}).first, 3);
  EXPECT_EQ(events_.status.size(), 3u);
  EXPECT_EQ(events_.messages.size(), 1u);
  EXPECT_EQ(ReadBytes(Path("lx_song.wav")), kOld);
  encoderAvailable_ = true;

  // Running out of memory fails the file, not the batch.
  mode_ = Mode::kThrowBadAlloc;
  EXPECT_EQ(Run({song, Midi("two.mid")}), Outcome(5, {"Out of memory while processing \"song.mid\"",
                                                      "Out of memory while processing \"two.mid\""}));
  EXPECT_FALSE(fs::exists(Path("lx_two.wav")));
  EXPECT_EQ(ReadBytes(Path("lx_song.wav")), kOld);
  mode_ = Mode::kFrames;

  // An output that cannot be created fails only its file.
  fs::create_directories(Path("lx_song.mp3"));
  settings_.audioFileType = kAudioFileMp3;
  EXPECT_EQ(Run({song, Path("two.mid").string()}),
            Outcome(0, {"Couldn't create output file \"lx_song.mp3\"\n\nIs a directory"}));
  EXPECT_TRUE(fs::exists(Path("lx_two.mp3")));
}

// A full disk at any byte is a write error (4) whose output is deleted,
// keeping the older one; a name near the file system's limit still converts.
TEST_F(ThreadTest, DiskFullAtAnyByteFailsWithFourKeepingTheOlderOutput) {
  const std::string song = Midi("song.mid");
  settings_.prependFormatKey = 1;
  frames_ = 30000;
  for (auto [type, name] : {std::pair{kAudioFileWav, "lx_song.wav"}, {kAudioFileMp3, "lx_song.mp3"},
                            {kAudioFileFlac, "lx_song.flac"}}) {
    settings_.audioFileType = type;
    ASSERT_EQ(Run({song}), Outcome());
    const size_t size = ReadBytes(Path(name)).size();
    for (const size_t limit : {size_t{0}, size_t{1}, size_t{44}, size / 2, size - 1}) {
      File(name, kOld);
      FileSizeLimit guard(limit);
      // Only the WAV writer's header fits in 44 bytes.
      const bool atOpen = limit < (type == kAudioFileWav ? 44u : 45u);
      EXPECT_EQ(Run({song}), Outcome(4, {(atOpen ? "Couldn't create" : "Error writing to") +
                                         std::string(" output file \"") + name +
                                         "\"\n\nFile too large"}));
      EXPECT_EQ(ReadBytes(Path(name)), kOld) << name << " " << limit;
      EXPECT_EQ(Partial(), 0) << name << " " << limit;
    }
  }
  frames_ = 500;  // reaches the disk only when the writer closes
  settings_.audioFileType = kAudioFileWav;
  {
    FileSizeLimit limit(1000);
    EXPECT_EQ(Run({song}), Outcome(4, {"Error writing to output file \"lx_song.wav\"\n\nFile too large"}));
  }
  const std::string longTitle(240, 'n');
  EXPECT_EQ(Run({Midi(longTitle + ".mid")}), Outcome());
  EXPECT_TRUE(fs::exists(Path("lx_" + longTitle + ".wav")));
}

// Accompaniments as everyday tools write them, found beside the source and
// mixed: each must come out exactly as the samples written (WAV, FLAC) or as
// mpg123 decodes the file (MP3, off by one at most), one second late, folded
// to mono and faded over 400 frames.
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An ID3v2 tag around `frames`, its size "syncsafe" (seven bits a byte).
Bytes Id3(uint8_t version, const Bytes& frames, bool footer = false) {
  Bytes size;
  for (int shift : {21, 14, 7, 0}) size.push_back((frames.size() >> shift) & 0x7F);
  const uint8_t flags = footer ? 0x10 : 0;
  return Bytes{'I', 'D', '3', version, 0, flags} + size + frames +
         (footer ? Bytes{'3', 'D', 'I', version, 0, flags} + size : Bytes{});
}

// Noise is full of false MPEG sync words, as a cover picture is.
Bytes Noise(size_t n) {
  Bytes b;
  for (uint32_t x = 1; b.size() < n;) b.push_back((x = x * 69069 + 1) >> 24);
  return b;
}

TEST_F(ThreadTest, AccompanimentsAsToolsWriteThemMixExactly) {
  const std::string song = Midi("song.mid");
  settings_.prependFormatKey = 1;
  using Samples = std::vector<int16_t>;  // interleaved stereo
  const auto tone = [](double seconds, uint16_t channels) {
    Samples s(static_cast<size_t>(seconds * 44100) * channels);
    for (size_t i = 0; i < s.size(); ++i) s[i] = Tone(i / channels, 44100) / (1 + i % channels);
    return s;
  };
  const Samples wav = tone(0.5, 2);
  const Bytes plain = BuildWav16(44100, 2, wav), data(plain.begin() + 44, plain.end());
  const Bytes extensible{0xFE, 0xFF, 2,    0, 0x44, 0xAC, 0, 0,    0x10, 0xB1, 2,    0,   4, 0,
                         16,   0,    22,   0, 16,   0,    3, 0,    0,    0,    1,    0,   0, 0,
                         0,    0,    0x10, 0, 0x80, 0,    0, 0xAA, 0,    0x38, 0x9B, 0x71};
  const auto lame = [](const std::string& options) {
    return "lame --quiet " + options + " in.wav enc.mp3";
  };
  const std::string cbr = lame("-b 128"), noInfo = lame("-b 128 -t");
  RiffBuilder fmt;
  fmt.Fmt(2, 44100, 16);
  const auto withChunk = [&](const char* id, const Bytes& body, int64_t sizeBytes = -1) {
    return RiffBuilder(fmt).Chunk(id, body, sizeBytes).Chunk("data", data).Build();
  };
  // Title frames in Latin-1, UTF-16 (its byte-order mark reads as a sync word), UTF-8.
  const Bytes latin1{'T', 'I', 'T', '2', 0, 0, 0, 3, 0, 0, 0, 'F', 0xFC},
      utf16{'T', 'I', 'T', '2', 0, 0, 0, 7, 0, 0, 1, 0xFF, 0xFE, 'F', 0, 0xFC, 0},
      utf8{'T', 'I', 'T', '2', 0, 0, 0, 4, 0, 0, 3, 'F', 0xC3, 0xBC};
  File("cover.jpg", Bytes{0xFF, 0xD8, 0xFF, 0xE0} + Noise(100 * 1024));
  File("w48.wav", BuildWav16(48000, 2, Samples(4000, 1234)));
  ASSERT_TRUE(WriteToneMp3(Path("tone.mp3"), 44100));
  const std::string noAudio = Omitting("song.wav", "holds no audio that could be read");
  struct Case {
    const char* name;
    std::string command;  // turns in.wav into enc.mp3 or the recording itself
    double seconds = 2;
    uint16_t channels = 2;
    Bytes tags = {};  // put before enc.mp3
    const char* tools = "lame";
    Bytes wav = {};  // the whole accompaniment, in place of a command
    std::string message = "";
  };
  const std::vector<Case> cases{
      {"v2.3 Latin-1 by lame", lame("-b 128 --id3v2-latin1 --tt Title --add-id3v2")},
      {"v2.3 UTF-16 and 100 KiB picture by lame, ID3v1 at the end",
       lame("--id3v2-utf16 --tt 'F\xC3\xBCr Elise' --ta Ludwig --ti cover.jpg"), 2, 1},
      {"v2.4 UTF-8 by ffmpeg",
       noInfo + " && ffmpeg -loglevel error -i enc.mp3 -c copy -id3v2_version 4 -metadata "
                "title='F\xC3\xBCr Elise' t.mp3 && mv t.mp3 enc.mp3",
       2, 2, {}, "lame ffmpeg"},
      {"v2.4 footer, then a tag", cbr, 2, 2, Id3(4, utf8, true) + Id3(3, utf16)},
      {"tag repeated", cbr, 1, 2, Id3(4, latin1) + Id3(3, utf16 + Noise(300))},
      {"VBR with Xing", lame("-V 4"), 5},
      {"Info 0.3 s", cbr, 0.3},
      {"Info 1 s", cbr, 1, 1},
      {"Info 30 s", cbr, 30, 1},
      {"no Info 0.3 s", noInfo, 0.3, 1},
      {"no Info 1 s", noInfo, 1},
      {"no Info 2 s", noInfo, 2, 1},
      {"no Info 30 s", noInfo, 30},
      {"odd LIST padded", "", 0, 2, {}, "", withChunk("LIST", {'I', 'N', 'F', 'O', 'x', 0}, 5)},
      {"odd LIST unpadded", "", 0, 2, {}, "", withChunk("LIST", {'I', 'N', 'F', 'O', 'x'})},
      {"extensible, cue, smpl", "", 0, 2, {}, "",
       RiffBuilder()
           .Chunk("fmt ", extensible)
           .Chunk("cue ", Bytes(28, 1))
           .Chunk("data", data)
           .Chunk("smpl", Bytes(60, 2))
           .Build()},
      {"no frames", "", 0, 2, {}, "", RiffBuilder(fmt).Chunk("data", {}).Build(), noAudio},
      {"frames cut off", "", 0, 2, {}, "", RiffBuilder(fmt).Chunk("data", {}, 400).Build(), noAudio},
      // FLAC comes after a WAV at the wrong rate and before an MP3.
      {"FLAC by flac", "flac -s -o song.flac in.wav && cp w48.wav song.wav && cp tone.mp3 song.mp3",
       1, 2, {}, "flac", {}, kWrongRate},
  };
  std::string missing;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : {"song.wav", "song.mp3", "song.flac", "enc.mp3"}) fs::remove(Path(name));
    Samples decoded = wav;
    const bool mp3 = c.command.find("enc.mp3") != std::string::npos;
    if (!c.command.empty()) {
      if (!HaveTool(std::string("which mpg123 ") + c.tools)) {
        missing += std::string(" ") + c.tools;
        continue;
      }
      decoded = tone(c.seconds, c.channels);
      File("in.wav", BuildWav16(44100, c.channels, decoded));
      ASSERT_EQ(RunCommand("cd " + Quote(dir_) + " && " + c.command + " 2>&1"), 0);
    } else {
      File("song.wav", c.wav);
    }
    if (mp3) {
      File("song.mp3", c.tags + ReadBytes(Path("enc.mp3")));
      std::string raw;
      RunCommand("mpg123 -q --no-gapless --stereo -s " + Quote(Path("song.mp3")), &raw);
      decoded.assign(raw.size() / 2, 0);
      std::memcpy(decoded.data(), raw.data(), raw.size());
    }
    const size_t n = c.message == noAudio ? 0 : decoded.size() / 2;
    frames_ = static_cast<uint32_t>(44100 + n + 100);
    EXPECT_EQ(Run({song}), Outcome(0, c.message.empty() ? Strings{} : Strings{c.message}));
    for (const auto& [icon, text] : events_.messages) {
      EXPECT_EQ(icon, text == noAudio ? MessageIcon::kWarning : MessageIcon::kError);
    }
    StereoWav out;
    ASSERT_TRUE(ReadStereoWav(Path("lx_song.wav"), out));
    ASSERT_EQ(out.left.size(), frames_);
    int worst = 0;
    for (size_t i = 0, k = i - 44100; i < out.left.size(); k = ++i - 44100) {
      int s = k >= n ? 0 : (decoded[2 * k] + decoded[2 * k + 1]) / 2;
      if (k < n) s = s * static_cast<int>(k < 400 ? k : std::min(n - k, size_t{400})) / 400;
      worst = std::max(worst, std::abs(out.left[i] - s));
    }
    EXPECT_LE(worst, mp3 ? 1 : 0);
  }
  // A FLAC output without the key would be the recording itself.
  if (fs::exists(Path("song.flac"))) {
    settings_.audioFileType = kAudioFileFlac;
    settings_.prependFormatKey = 0;
    EXPECT_EQ(Run({song}), Outcome(2, {kWrongRate, Overwrite("song.flac")}));
  }
  if (!missing.empty()) GTEST_SKIP() << "rows skipped, tools missing:" << missing;
}

}  // namespace
}  // namespace tonvelo::test
