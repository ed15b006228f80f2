// The conversion thread in a temporary folder, with the real readers and
// writers and fake encoders injected through the factory.

#include "pipeline/conversion_thread.h"

#include <cstring>
#include <deque>
#include <map>
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
using Samples = std::vector<int16_t>;     // interleaved stereo
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
  int formatId;
  EncoderOptions options;
  std::string outputBase, title, source;       // source: the reader's description, "" for none
  uint32_t sampleRateHz, accompanimentRateHz;  // 0: no accompaniment
  int velocityProfile;
  bool diagnostic;
  const ConversionEvents* events;
  const CancelFlag* cancel;
};
enum class Mode { kFrames, kUntilCancelled, kThrowBadAlloc };

// Records what the thread handed it, writes `frames` frames (data 1000, 1001,
// ... on the right) and returns `result`; or runs until cancelled, or throws.
class FakeEncoder : public CTonveloFormat {
 public:
  FakeEncoder(EncoderRecord& r, Mode mode, uint32_t frames, Result result)
      : r_(r), mode_(mode), frames_(frames), result_(result) {}
  Result Encode() override {
    // clang-format off
    r_ = {r_.formatId, r_.options, outputBasePath_.string(), title_,
          source_ != nullptr ? source_->GetDescription() : "", sampleRateHz_,
          accompaniment_ ? accompaniment_->GetSampleRate() : 0, velocityProfile_,
          diagnosticOutput_, events_, cancel_};
    // clang-format on
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
    Samples data(count);
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
  static Bytes MidiBytes() {
    MidiBuilder midi(0, 480);
    midi.AddTrack().NoteOn(0, 0, 60, 100).NoteOff(480, 0, 60).End();
    return midi.Build();
  }
  std::string Midi(const std::string& name) const { return File(name, MidiBytes()); }
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
      records_.push_back({id, options, "", "", "", 0, 0, -1, false, nullptr, nullptr});
      return std::unique_ptr<CTonveloFormat>(
          std::make_unique<FakeEncoder>(records_.back(), mode_, frames_, result_));
    });
    if (pianocorderLoader_) thread.SetPianocorderLoader(pianocorderLoader_);
    Outcome out{thread.Run(), {}};
    for (const auto& m : events->messages) out.second.push_back(m.second);
    return out;
  }
  // Outputs in the making left behind.
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

// Every batch's result and message texts in order, with warnings and errors
// told apart; no source is ever changed, failed outputs leave nothing behind.
TEST_F(ThreadTest, BatchesReportEveryProblemAndTheLastFileDecides) {
  const Bytes midi = MidiBytes();
  // clang-format off
  Bytes cut = midi, pc{'P', 'I', 'A', 'N', 'O', 'C', 'O', 'R', 'D', 'E', 'R', 0, 0, 0, 9, 17, 148};
  cut.resize(cut.size() - 3);
  pc.resize(32, 0);  // a header announcing 9 frames
  Bytes oneFrame = pc, wrong = pc;
  oneFrame.resize(48, 0);
  wrong[0] = 'p';
  MidiBuilder patterns(2, 480);
  patterns.AddTrack().NoteOn(0, 0, 60, 100).End();
  const std::map<std::string, Bytes> inputs{
      {"good.mid", midi}, {"two.mid", midi}, {"notes.txt", Bytes(100, 'x')}, {"cut.mid", cut},
      {"broken.mid", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1, 0xE0, 'X', 'X'}},
      {"song.pc", midi}, {"patterns.mid", patterns.Build()}, {"stub.mid", {'M', 'T', 'h', 'd', 0}},
      {"empty.pc", {}}, {"bare.pc", pc}, {"wrong.pc", wrong}, {"short.pc", oneFrame},
      {"tune.pc", Bytes(64, 0)}, {"tune.wav", midi}, {"blocker", {1}}};
  // clang-format on
  for (const auto& [name, bytes] : inputs) File(name, bytes);
  const auto lossy = [](const std::string& who, const std::string& will) {
    return "Please note that " + who + " tracks compressed to MP3 files (or other lossy formats) " +
           will + " play reliably.\nFor best results, encode to WAV format and then compress " +
           "using FLAC or Apple Lossless Audio Codec.";
  };
  const std::string notes = "\"notes.txt\" is not a valid MIDI or ESEQ file",
                    cassette = lossy("Cassette Converter", "might not");
  enum Knob { kPlain, kLoader, kNoEncoder, kBadAlloc, kBlocked };
  struct Case {
    int format, type, key;
    Knob knob;
    Strings files;
    Outcome outcome;
    size_t started, encoders, written;
  };
  // clang-format off
  const Case cases[] = {
    // Lossy formats warn before the batch, even an empty one.
    {8, kAudioFileWav, 1, kPlain, {}, {0, {}}, 0, 0, 0},
    {0, kAudioFileMp3, 1, kPlain, {}, {0, {}}, 0, 0, 0},
    {8, kAudioFileMp3, 1, kPlain, {}, {0, {lossy("Disklavier", "will not")}}, 0, 0, 0},
    {10, kAudioFileMp3, 1, kPlain, {}, {0, {cassette}}, 0, 0, 0},
    {11, kAudioFileMp3, 1, kPlain, {}, {0, {cassette}}, 0, 0, 0},
    // Without a system error the second paragraph says what is wrong.
    {0, kAudioFileWav, 1, kPlain,
     {"notes.txt", "missing.mid", "broken.mid", "cut.mid", "song.pc", "patterns.mid", "stub.mid",
      "good.mid"},
     {0, {notes, "Unable to open file \"missing.mid\"\n\nNo such file or directory",
          "File \"broken.mid\" is damaged\n\nIts header announces more tracks than it holds (an "
          "\"MTrk\" chunk is missing).",
          "File \"cut.mid\" is damaged\n\nA track runs past the end of the file: the file was cut "
          "off.",
          "\"song.pc\" is not a valid MIDI or ESEQ file",
          "Unable to open file \"patterns.mid\"\n\nIt is a MIDI file of format 2 (a set of "
          "independent patterns), which does not play as one piece; only formats 0 and 1 can be "
          "converted.",
          "Unable to open file \"stub.mid\"\n\nThe file ends early (5 bytes): it is too short to "
          "be a MIDI or ESEQ file, or it was cut off when it was copied."}}, 8, 1, 1},
    {0, kAudioFileWav, 1, kPlain, {"good.mid", "notes.txt"}, {3, {notes}}, 2, 1, 1},
    {kFormatPianocorder, kAudioFileWav, 1, kPlain, {"empty.pc", "bare.pc", "wrong.pc", "short.pc"},
     {0, {"\"empty.pc\" is not a valid MIDI or ESEQ file", "File \"bare.pc\" is damaged",
          "\"wrong.pc\" is not a valid MIDI or ESEQ file",
          "File \"short.pc\" holds fewer frames than its header announces; the frames present are "
          "played."}}, 4, 1, 1},
    // A loaded Pianocorder file with another format ends the batch.
    {0, kAudioFileWav, 1, kLoader, {"tune.pc", "good.mid"},
     {3, {"Pianocorder files cannot be converted to other formats."}}, 1, 0, 0},
    // No encoder for the format: the batch ends without a word or a file.
    {0, kAudioFileWav, 1, kNoEncoder, {"notes.txt", "good.mid", "good.mid"}, {3, {notes}}, 2, 0, 0},
    // Running out of memory fails the file, not the batch.
    {0, kAudioFileWav, 1, kBadAlloc, {"good.mid", "two.mid"},
     {5, {"Out of memory while processing \"good.mid\"",
          "Out of memory while processing \"two.mid\""}}, 2, 2, 0},
    {0, kAudioFileWav, 0, kPlain, {"tune.wav"}, {2, {Overwrite("tune.wav", "music")}}, 1, 0, 0},
    // A custom folder that cannot be created ends the batch.
    {0, kAudioFileWav, 1, kBlocked, {"good.mid", "two.mid"},
     {4, {"Couldn't create output folder \"" + Path("blocker/out/Rolls/").string() +
          "\"\n\nNot a directory"}}, 0, 0, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    settings_ = ConversionSettings();
    settings_.outputFormat = c.format;
    settings_.audioFileType = c.type;
    settings_.prependFormatKey = c.key;
    settings_.outputPathMode = c.knob == kBlocked;
    settings_.customOutputFolder = Path("blocker/out").string();
    encoderAvailable_ = c.knob != kNoEncoder;
    mode_ = c.knob == kBadAlloc ? Mode::kThrowBadAlloc : Mode::kFrames;
    pianocorderLoader_ = nullptr;
    if (c.knob == kLoader) {
      pianocorderLoader_ = [](const fs::path&, PianocorderSource& source) {
        source = std::make_shared<PianocorderFile>();  // the loader only says "loaded"
        return OpenResult::kOpened;
      };
    }
    records_.clear();
    Strings paths;
    for (const std::string& f : c.files) paths.push_back(Path(f).string());
    const int row = static_cast<int>(&c - cases);
    EXPECT_EQ(Run(paths, {"Rolls/"}), c.outcome) << row;
    EXPECT_EQ(events_.finished, std::vector<int>{c.outcome.first}) << row;
    EXPECT_EQ(events_.status.size(), 1 + c.started) << row;
    EXPECT_EQ(records_.size(), c.encoders) << row;
    for (const auto& [icon, text] : events_.messages) {
      const bool warning = text.rfind("Please", 0) == 0 || text.find("holds fewer") != text.npos;
      EXPECT_EQ(icon, warning ? MessageIcon::kWarning : MessageIcon::kError) << text;
    }
    std::vector<fs::path> written;
    for (const auto& e : fs::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (inputs.count(name) == 0) {
        written.push_back(e.path());
      } else {
        EXPECT_EQ(ReadBytes(e.path()), inputs.at(name)) << name;  // sources never change
      }
    }
    for (const fs::path& p : written) fs::remove(p);
    EXPECT_EQ(written.size(), c.written) << row;
  }
}

// Output names take the catalogue key when asked; the track holds exactly the
// encoder's frames, without accompaniment or delay, each doubled at half speed.
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
  pianocorderLoader_ = [](const fs::path&, PianocorderSource& source) {
    source = std::make_shared<PianocorderFile>();
    return OpenResult::kOpened;
  };
  for (auto [format, source, frames] :
       {std::tuple{0, song, 500u}, {kFormatHalfSpeed, File("tune.pc", Bytes(64, 0)), 1000u}}) {
    settings_ = ConversionSettings();
    settings_.outputFormat = format;
    ASSERT_EQ(Run({source}), Outcome());
    StereoWav wav;
    ASSERT_TRUE(ReadStereoWav(fs::path(source).replace_extension(".wav"), wav));
    EXPECT_EQ(wav.rate, 44100u);
    EXPECT_EQ(wav.left, Samples(frames, 0));
    ASSERT_EQ(wav.right.size(), frames);
    EXPECT_EQ(wav.right[0], 1000);
    EXPECT_EQ(wav.right[frames / 500 - 1], 1000);  // the first frame twice at half speed
    EXPECT_EQ(wav.right.back(), 1499);
  }
  EXPECT_EQ(records_.back().source, "");  // no music reader for Pianocorder data
  EXPECT_NE(records_.back().options.pianocorderFile, nullptr);
}

// A custom folder mirrors the sub-folders found by a folder search; a tags
// file stays beside the source.
TEST_F(ThreadTest, CustomFolderMirrorsSubFoldersAndTagsStayBesideTheSource) {
  const std::string a = Midi("in/Rolls/a.mid"), b = Midi("in/Rolls/Sub/b.mid"),
                    c = Midi("in/c.mid");
  File("in/c.tags.txt", {'T', 'I', 'T', '2', '=', 'M', 'i', 'r', 'r', 'o', 'r'});
  settings_.outputPathMode = 1;
  settings_.customOutputFolder = Path("out").string() + "/";
  settings_.audioFileType = kAudioFileMp3;
  ASSERT_EQ(Run({a, b, c}, {"Rolls/", "Rolls/Sub/", ""}), Outcome());
  EXPECT_EQ(records_[0].outputBase, Path("out/Rolls/a").string());
  EXPECT_EQ(records_[1].outputBase, Path("out/Rolls/Sub/b").string());
  EXPECT_EQ(records_[2].outputBase, Path("out/c").string());
  EXPECT_TRUE(fs::exists(Path("out/Rolls/Sub/b.mp3")));
  const Bytes mp3 = ReadBytes(Path("out/c.mp3"));
  const std::string tag = "Mirror";
  EXPECT_NE(std::search(mp3.begin(), mp3.end(), tag.begin(), tag.end()), mp3.end());
}

// An older output of the name survives every failure; only a complete track
// replaces it, and discarding touches nothing.
TEST_F(ThreadTest, EncoderResultsBecomeMessagesAndFailedOutputsAreDeleted) {
  const std::string song = Midi("song.mid"),
                    data = "Data formatting error while processing \"song.mid\"";
  const std::string unknown = "Unknown error while processing \"song.mid\"";
  settings_.prependFormatKey = 1;
  // clang-format off
  for (auto [code, discard, message] : std::vector<std::tuple<int, bool, std::string>>{
           {0, false, ""}, {2, false, ""}, {3, false, "File \"song.mid\" is damaged"},
           {4, false, "Error writing to output file \"lx_song.wav\"\n\nThe WAV file could not be "
                      "completed."},
           {5, false, "Out of memory while processing \"song.mid\""}, {6, false, data},
           {1, false, unknown}, {9, false, unknown}, {0, true, ""}, {6, true, data}}) {
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
}

TEST_F(ThreadTest, ReadersAndSettingsReachTheEncoder) {
  // Only an exact ".pc" is Pianocorder data; SONG.PC is read as MIDI.
  const std::string upper = File("SONG.PC", MidiBytes());
  const std::string eseq =
      File("song.fil", EseqBuilder().Events({0xF1, 0x00, 0x90, 60, 1, 0xF2}).Build());
  // "tune." is opened as listed; "tune", which its parts also spell, is text.
  const std::string dotted = File("tune.", MidiBytes());
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

// A full disk at any byte fails the file with 4 and keeps the older output;
// a name near the file system's limit still converts.
TEST_F(ThreadTest, DiskFullAtAnyByteFailsWithFourKeepingTheOlderOutput) {
  const std::string song = Midi("song.mid");
  settings_.prependFormatKey = 1;
  frames_ = 30000;
  for (auto [type, name] : {std::pair{kAudioFileWav, "lx_song.wav"},
                            {kAudioFileMp3, "lx_song.mp3"},
                            {kAudioFileFlac, "lx_song.flac"}}) {
    settings_.audioFileType = type;
    ASSERT_EQ(Run({song}), Outcome());
    const size_t size = ReadBytes(Path(name)).size();
    for (const size_t limit : {size_t{0}, size_t{1}, size_t{44}, size / 2, size - 1}) {
      File(name, kOld);
      FileSizeLimit guard(limit);
      const bool atOpen = limit < (type == kAudioFileWav ? 44u : 45u);  // the WAV header is 44
      EXPECT_EQ(Run({song}),
                Outcome(4, {(atOpen ? "Couldn't create" : "Error writing to") +
                            std::string(" output file \"") + name + "\"\n\nFile too large"}));
      EXPECT_EQ(ReadBytes(Path(name)), kOld) << name << " " << limit;
      EXPECT_EQ(Partial(), 0) << name << " " << limit;
    }
  }
  const std::string longTitle(240, 'n');
  EXPECT_EQ(Run({Midi(longTitle + ".mid")}), Outcome());
  EXPECT_TRUE(fs::exists(Path("lx_" + longTitle + ".flac")));
}

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

// The first of song.wav, .flac, .mp3 that fits is mixed exactly as written (MP3: as
// mpg123 decodes it, +-1), a second late, folded and faded; none is overwritten.
TEST_F(ThreadTest, AccompanimentsAreChosenNeverOverwrittenAndMixedExactly) {
  const std::string song = Midi("song.mid");
  const auto tone = [](double seconds, uint16_t channels) {
    Samples s(static_cast<size_t>(seconds * 44100) * channels);
    for (size_t i = 0; i < s.size(); ++i) s[i] = Tone(i / channels, 44100) / (1 + i % channels);
    return s;
  };
  const Samples wav = tone(0.5, 2);
  const Bytes w44 = BuildWav16(44100, 2, wav), w48 = BuildWav16(48000, 2, wav);
  const Bytes data(w44.begin() + 44, w44.end()), junk(300, 'x');
  Bytes cut = w44;
  cut.resize(30);  // ends inside the fmt chunk
  const Bytes extensible{0xFE, 0xFF, 2,    0, 0x44, 0xAC, 0, 0,    0x10, 0xB1, 2,    0,   4, 0,
                         16,   0,    22,   0, 16,   0,    3, 0,    0,    0,    1,    0,   0, 0,
                         0,    0,    0x10, 0, 0x80, 0,    0, 0xAA, 0,    0x38, 0x9B, 0x71};
  RiffBuilder fmt;
  fmt.Fmt(2, 44100, 16);
  const auto lame = [](const std::string& options) {
    return "lame --quiet " + options + " in.wav enc.mp3";
  };
  const std::string cbr = lame("-b 128"), noInfo = lame("-b 128 -t");
  // Title frames in Latin-1, UTF-16 (its byte-order mark reads as a sync word), UTF-8.
  const Bytes latin1{'T', 'I', 'T', '2', 0, 0, 0, 3, 0, 0, 0, 'F', 0xFC},
      utf16{'T', 'I', 'T', '2', 0, 0, 0, 7, 0, 0, 1, 0xFF, 0xFE, 'F', 0, 0xFC, 0},
      utf8{'T', 'I', 'T', '2', 0, 0, 0, 4, 0, 0, 3, 'F', 0xC3, 0xBC};
  File("cover.jpg", Bytes{0xFF, 0xD8, 0xFF, 0xE0} + Noise(100 * 1024));
  File("w48.wav", w48);
  ASSERT_TRUE(WriteToneMp3(Path("tone.mp3"), 44100));
  const Bytes toneMp3 = ReadBytes(Path("tone.mp3"));
  const std::string noAudio = Omitting("song.wav", "holds no audio that could be read");
  struct Case {
    const char* name;
    Bytes wav = {}, mp3 = {};  // song.wav and song.mp3 as given
    std::string command = {};  // run in the folder: makes song.flac, or enc.mp3 for song.mp3
    Bytes tags = {};           // put before enc.mp3
    double seconds = 2;        // of the tone in in.wav
    uint16_t channels = 2;
    int key = 1, rate48 = 0;
    Outcome outcome = {0, {}};
    char mixed = 'm';            // which recording is mixed: w(av), m(p3), f(lac), 0 none
    const char* tools = "lame";  // needed by the command
  };
  // clang-format off
  const Case cases[] = {
      {.name = "matching WAV, no key", .wav = w44, .key = 0,
       .outcome = {2, {Overwrite("song.wav")}}, .mixed = 0},
      {.name = "extensible WAV, cue and smpl", .wav = RiffBuilder().Chunk("fmt ", extensible)
           .Chunk("cue ", Bytes(28, 1)).Chunk("data", data).Chunk("smpl", Bytes(60, 2)).Build(),
       .mixed = 'w'},
      {.name = "wrong-rate WAV, no key", .wav = w48, .key = 0,
       .outcome = {2, {kWrongRate, Overwrite("song.wav")}}, .mixed = 0},
      {.name = "wrong-rate WAV, then MP3", .wav = w48, .mp3 = toneMp3,
       .outcome = {0, {kWrongRate}}},
      {.name = "WAV at 48000", .wav = w48, .mp3 = toneMp3, .rate48 = 1, .mixed = 'w'},
      {.name = "8-bit WAV", .wav = BuildWav8(44100, 1, std::vector<uint8_t>(300, 128)),
       .outcome = {0, {Omitting("song.wav", "does not contain 16-bit samples")}}, .mixed = 0},
      // Broken recordings are left out; text has no stream header: rate 0.
      {.name = "cut WAV, text MP3", .wav = cut, .mp3 = junk,
       .outcome = {0, {Omitting("song.mp3", "does not match selected sample rate")}}, .mixed = 0},
      {.name = "WAV without frames", .wav = RiffBuilder(fmt).Chunk("data", {}).Build(),
       .outcome = {0, {noAudio}}, .mixed = 0},
      {.name = "WAV frames cut off", .wav = RiffBuilder(fmt).Chunk("data", {}, 400).Build(),
       .outcome = {0, {noAudio}}, .mixed = 0},
      {.name = "v2.3 Latin-1 by lame",
       .command = lame("-b 128 --id3v2-latin1 --tt Title --add-id3v2")},
      {.name = "v2.3 UTF-16 and 100 KiB picture by lame, ID3v1 at the end",
       .command = lame("--id3v2-utf16 --tt 'F\xC3\xBCr Elise' --ta Ludwig --ti cover.jpg"),
       .channels = 1},
      {.name = "v2.4 UTF-8 by ffmpeg",
       .command = noInfo + " && ffmpeg -loglevel error -i enc.mp3 -c copy -id3v2_version 4 "
                           "-metadata title='F\xC3\xBCr Elise' t.mp3 && mv t.mp3 enc.mp3",
       .tools = "lame ffmpeg"},
      {.name = "v2.4 footer, then a tag", .command = cbr,
       .tags = Id3(4, utf8, true) + Id3(3, utf16)},
      {.name = "tag repeated", .command = cbr, .tags = Id3(4, latin1) + Id3(3, utf16 + Noise(300)),
       .seconds = 1},
      {.name = "VBR with Xing", .command = lame("-V 4"), .seconds = 5},
      {.name = "Info 0.3 s", .command = cbr, .seconds = 0.3},
      {.name = "Info 30 s", .command = cbr, .seconds = 30, .channels = 1},
      {.name = "no Info 0.3 s", .command = noInfo, .seconds = 0.3, .channels = 1},
      {.name = "no Info 30 s", .command = noInfo, .seconds = 30},
      // FLAC comes after a WAV at the wrong rate and before an MP3.
      {.name = "FLAC by flac", .wav = w48, .mp3 = toneMp3, .command = "flac -s -o song.flac in.wav",
       .seconds = 1, .outcome = {0, {kWrongRate}}, .mixed = 'f', .tools = "flac"},
  };
  // clang-format on
  std::string missing;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* name : {"song.wav", "song.mp3", "song.flac", "enc.mp3"})
      fs::remove(Path(name));
    const std::string tools =
        (c.command.empty() ? "" : std::string(" ") + c.tools) + (c.mixed == 'm' ? " mpg123" : "");
    if (!tools.empty() && !HaveTool("which" + tools)) {
      missing += tools;
      continue;
    }
    if (!c.wav.empty()) File("song.wav", c.wav);
    if (!c.mp3.empty()) File("song.mp3", c.mp3);
    Samples decoded = c.mixed == 'w' ? wav : tone(c.seconds, c.channels);
    if (!c.command.empty()) {
      File("in.wav", BuildWav16(44100, c.channels, decoded));
      ASSERT_EQ(RunCommand("cd " + Quote(dir_) + " && " + c.command + " 2>&1"), 0);
    }
    if (fs::exists(Path("enc.mp3"))) File("song.mp3", c.tags + ReadBytes(Path("enc.mp3")));
    if (c.mixed == 'm') {
      std::string raw;
      RunCommand("mpg123 -q --no-gapless --stereo -s " + Quote(Path("song.mp3")), &raw);
      decoded.assign(raw.size() / 2, 0);
      std::memcpy(decoded.data(), raw.data(), raw.size());
    }
    const size_t n = c.mixed ? decoded.size() / 2 : 0;
    const uint32_t rate = c.rate48 ? 48000 : 44100;
    frames_ = static_cast<uint32_t>(rate + n + 100);
    std::map<std::string, Bytes> recordings;  // never changed
    for (const char* name : {"song.wav", "song.mp3", "song.flac"})
      recordings[name] = ReadBytes(Path(name));
    settings_.prependFormatKey = c.key;
    settings_.sampleRateChoice = c.rate48;
    records_.clear();
    EXPECT_EQ(Run({song, Midi("other.mid")}), c.outcome);
    for (const auto& [icon, text] : events_.messages) {
      EXPECT_EQ(icon, text == noAudio ? MessageIcon::kWarning : MessageIcon::kError);
    }
    for (const auto& [name, bytes] : recordings) EXPECT_EQ(ReadBytes(Path(name)), bytes) << name;
    ASSERT_EQ(records_.size(), c.outcome.first == 0 ? 2u : 0u);  // 2 ends the batch
    if (c.outcome.first != 0) continue;
    EXPECT_EQ(records_[0].accompanimentRateHz, n > 0 ? rate : 0u);
    StereoWav out;
    ASSERT_TRUE(ReadStereoWav(Path("lx_song.wav"), out));
    ASSERT_EQ(out.rate, rate);
    ASSERT_EQ(out.left.size(), frames_);
    int worst = 0;
    for (size_t i = 0, k = i - rate; i < out.left.size(); k = ++i - rate) {
      int s = k >= n ? 0 : (decoded[2 * k] + decoded[2 * k + 1]) / 2;
      if (k < n) s = s * static_cast<int>(k < 400 ? k : std::min(n - k, size_t{400})) / 400;
      worst = std::max(worst, std::abs(out.left[i] - s));
    }
    EXPECT_LE(worst, c.mixed == 'm' ? 1 : 0);
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
