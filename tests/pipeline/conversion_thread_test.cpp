// The conversion thread with the real readers and writers and fake encoders.

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
};

struct Script {
  uint32_t frames = 500;
  Result result = Result::kSuccess;
  bool badAlloc = false;
};

// Records what it was handed, writes frames (data 1000, 1001, ...), returns or throws.
class FakeEncoder : public CTonveloFormat {
 public:
  FakeEncoder(EncoderRecord& r, const Script& script) : r_(r), s_(script) {}
  Result Encode() override {
    // clang-format off
    r_ = {r_.formatId, r_.options, outputBasePath_.string(), title_,
          source_ != nullptr ? source_->GetDescription() : "", sampleRateHz_,
          accompaniment_ ? accompaniment_->GetSampleRate() : 0, velocityProfile_,
          diagnosticOutput_};
    // clang-format on
    Samples data(s_.frames);
    for (int16_t& d : data) d = static_cast<int16_t>(1000 + position_++ % 1000);
    if (WriteData(data.data(), s_.frames) != Result::kSuccess) return Result::kWriteError;
    if (s_.badAlloc) throw std::bad_alloc();
    return s_.result;
  }
  Result Advance() override { return Result::kSuccess; }
  uint32_t GetPosition() override { return position_; }

 private:
  EncoderRecord& r_;
  const Script s_;
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
  // One batch: warnings told from errors, one result, no output in the making left.
  Outcome Run(const Strings& paths) {
    events_ = RecordingEvents();
    std::vector<FileEntry> files;
    for (const std::string& path : paths) files.push_back({(dir_ / path).string(), ""});
    CConversionThread thread(files, settings_, events_, cancel_);
    thread.SetDiagnosticOutput(diagnostic_);
    thread.SetDiscardOutput(discard_);
    thread.SetEncoderFactory([this](int id, const EncoderOptions& options) {
      std::unique_ptr<CTonveloFormat> encoder;
      if (!encoderAvailable_) return encoder;
      records_.push_back({id, options, "", "", "", 0, 0, -1, false});
      return std::unique_ptr<CTonveloFormat>(
          std::make_unique<FakeEncoder>(records_.back(), script_));
    });
    if (pianocorderLoader_) thread.SetPianocorderLoader(pianocorderLoader_);
    Outcome out{thread.Run(), {}};
    for (const auto& [icon, text] : events_.messages) {
      const bool warning = text.rfind("Please", 0) == 0 || text.find("holds fewer") != text.npos ||
                           text.find("holds no audio") != text.npos;
      EXPECT_EQ(icon, warning ? MessageIcon::kWarning : MessageIcon::kError) << text;
      out.second.push_back(text);
    }
    EXPECT_EQ(events_.finished, std::vector<int>{out.first});
    EXPECT_EQ(std::count_if(fs::directory_iterator(dir_), {}, [](const auto& e) {
                return e.path().string().find(kPartialOutputSuffix) != std::string::npos;
              }), 0);
    return out;
  }
  void LoadPianocorderFiles() {
    pianocorderLoader_ = [](const fs::path&, PianocorderSource& source) {
      source = std::make_shared<PianocorderFile>();  // the loader only says "loaded"
      return OpenResult::kOpened;
    };
  }

  ConversionSettings settings_;
  CancelFlag cancel_{0};
  RecordingEvents events_;
  bool diagnostic_ = false, discard_ = false, encoderAvailable_ = true;
  Script script_;
  PianocorderLoader pianocorderLoader_;
  std::deque<EncoderRecord> records_;  // stable addresses for the encoders
};

// Every batch's result and message texts in order; no source is ever changed.
TEST_F(ThreadTest, BatchesReportEveryProblemAndTheLastFileDecides) {
  const Bytes midi = MidiBytes(),
              pc{'P', 'I', 'A', 'N', 'O', 'C', 'O', 'R', 'D', 'E', 'R', 0, 0, 0, 9, 17, 148};
  const auto cut = [](Bytes b, size_t n) { return b.resize(n), b; };
  MidiBuilder patterns(2, 480);
  patterns.AddTrack().NoteOn(0, 0, 60, 100).End();
  // clang-format off
  const std::map<std::string, Bytes> inputs{
      {"good.mid", midi}, {"two.mid", midi}, {"notes.txt", Bytes(100, 'x')},
      {"cut.mid", cut(midi, midi.size() - 3)},
      {"broken.mid", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1, 0xE0, 'X', 'X'}},
      {"song.pc", midi}, {"patterns.mid", patterns.Build()}, {"stub.mid", {'M', 'T', 'h', 'd', 0}},
      {"bare.pc", cut(pc, 32)}, {"short.pc", cut(pc, 48)},  // 9 frames announced, 0 and 1 there
      {"tune.pc", Bytes(64, 0)}, {"tune.wav", midi}};
  // clang-format on
  for (const auto& [name, bytes] : inputs) File(name, bytes);
  const auto lossy = [](const std::string& who, const std::string& will) {
    return "Please note that " + who + " tracks compressed to MP3 files (or other lossy formats) " +
           will + " play reliably.\nFor best results, encode to WAV format and then compress " +
           "using FLAC or Apple Lossless Audio Codec.";
  };
  const std::string notes = "\"notes.txt\" is not a valid MIDI or ESEQ file",
                    cassette = lossy("Cassette Converter", "might not");
  enum Knob { kPlain, kLoader, kNoEncoder, kBadAlloc };
  struct Case {
    int format, type, key;
    Knob knob;
    Strings files;
    Outcome outcome;
    size_t started, encoders, written;
  };
  // clang-format off
  const Case cases[] = {
    // Lossy formats warn before the batch, even an empty one; the last file decides.
    {10, kAudioFileMp3, 1, kPlain, {}, {0, {cassette}}, 0, 0, 0},
    {8, kAudioFileMp3, 1, kPlain, {"good.mid", "notes.txt"},
     {3, {lossy("Disklavier", "will not"), notes}}, 2, 1, 1},
    // Without a system error the second paragraph says what is wrong.
    {0, kAudioFileWav, 1, kPlain,
     {"notes.txt", "broken.mid", "cut.mid", "song.pc", "patterns.mid", "stub.mid", "good.mid"},
     {0, {notes, "File \"broken.mid\" is damaged\n\nIts header announces more tracks than it "
          "holds (an \"MTrk\" chunk is missing).",
          "File \"cut.mid\" is damaged\n\nA track runs past the end of the file: the file was cut "
          "off.",
          "\"song.pc\" is not a valid MIDI or ESEQ file",
          "Unable to open file \"patterns.mid\"\n\nIt is a MIDI file of format 2 (a set of "
          "independent patterns), which does not play as one piece; only formats 0 and 1 can be "
          "converted.",
          "Unable to open file \"stub.mid\"\n\nThe file ends early (5 bytes): it is too short to "
          "be a MIDI or ESEQ file, or it was cut off when it was copied."}}, 7, 1, 1},
    {kFormatPianocorder, kAudioFileWav, 1, kPlain, {"bare.pc", "short.pc"},
     {0, {"File \"bare.pc\" is damaged", "File \"short.pc\" holds fewer frames than its header "
          "announces; the frames present are played."}}, 2, 1, 1},
    // A loaded Pianocorder file with another format ends the batch.
    {11, kAudioFileMp3, 1, kLoader, {"tune.pc", "good.mid"},
     {3, {cassette, "Pianocorder files cannot be converted to other formats."}}, 1, 0, 0},
    // No encoder for the format: the batch ends without a word or a file.
    {0, kAudioFileMp3, 1, kNoEncoder, {"notes.txt", "good.mid", "good.mid"}, {3, {notes}}, 2, 0, 0},
    // Running out of memory fails the file, not the batch.
    {8, kAudioFileWav, 1, kBadAlloc, {"good.mid", "two.mid"},
     {5, {"Out of memory while processing \"good.mid\"",
          "Out of memory while processing \"two.mid\""}}, 2, 2, 0},
    {0, kAudioFileWav, 0, kPlain, {"tune.wav"}, {2, {Overwrite("tune.wav", "music")}}, 1, 0, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    const int row = static_cast<int>(&c - cases);
    settings_ = {c.format, c.key, c.type};
    encoderAvailable_ = c.knob != kNoEncoder;
    script_.badAlloc = c.knob == kBadAlloc;
    pianocorderLoader_ = nullptr;
    if (c.knob == kLoader) LoadPianocorderFiles();
    records_.clear();
    EXPECT_EQ(Run(c.files), c.outcome) << row;
    EXPECT_EQ(events_.status.size(), 1 + c.started) << row;
    EXPECT_EQ(records_.size(), c.encoders) << row;
    size_t written = 0;
    for (const auto& e : fs::directory_iterator(dir_)) {
      const auto input = inputs.find(e.path().filename().string());
      if (input == inputs.end()) written += fs::remove(e.path());
      EXPECT_TRUE(input == inputs.end() || ReadBytes(e.path()) == input->second) << e.path();
    }
    EXPECT_EQ(written, c.written) << row;
  }
}

// Unknown formats take no key; the track is the encoder's frames, doubled at half speed.
TEST_F(ThreadTest, OutputNamesAndTheTrack) {
  settings_ = {42, 1};
  EXPECT_EQ(Run({Midi("song.mid")}), Outcome());
  EXPECT_EQ(records_.back().outputBase, Path("song").string());
  settings_ = {kFormatHalfSpeed, 0};
  LoadPianocorderFiles();
  ASSERT_EQ(Run({File("tune.pc", Bytes(64, 0))}), Outcome());
  EXPECT_EQ(records_.back().source, "");  // no music reader for Pianocorder data
  EXPECT_NE(records_.back().options.pianocorderFile, nullptr);
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("tune.wav"), wav));
  ASSERT_EQ(wav.right.size(), 1000u);
  EXPECT_EQ(std::tuple(wav.right[0], wav.right[1], wav.right[2], wav.right.back()),
            std::tuple(1000, 1000, 1001, 1499));
}

// An older output survives every failure and a discarded run; a complete track replaces it.
TEST_F(ThreadTest, EncoderResultsBecomeMessagesAndFailedOutputsAreDeleted) {
  const std::string song = Midi("song.mid");
  const auto in = [](std::string what) { return what + " while processing \"song.mid\""; };
  settings_.prependFormatKey = 1;
  // clang-format off
  for (auto [code, discard, message] : std::vector<std::tuple<int, bool, std::string>>{
           {0, false, ""}, {2, false, ""}, {3, false, "File \"song.mid\" is damaged"},
           {4, false, "Error writing to output file \"lx_song.wav\"\n\nThe WAV file could not be "
                      "completed."},
           {5, false, in("Out of memory")}, {6, false, in("Data formatting error")}, {0, true, ""},
           {6, true, in("Data formatting error")}, {1, false, in("Unknown error")}}) {
    // clang-format on
    File("lx_song.wav", kOld);
    script_.result = static_cast<Result>(code);
    discard_ = discard;
    EXPECT_EQ(Run({song}), Outcome(code, message.empty() ? Strings{} : Strings{message}));
    EXPECT_EQ(records_.back().options.discardOutput, discard);
    EXPECT_EQ(ReadBytes(Path("lx_song.wav")) == kOld, code != 0 || discard) << code;
  }
}

TEST_F(ThreadTest, ReadersAndSettingsReachTheEncoder) {
  // SONG.PC is MIDI (only ".pc" is Pianocorder); "tune." opens as listed, not as "tune".
  const std::string upper = File("SONG.PC", MidiBytes()), dotted = File("tune.", MidiBytes()),
                    eseq = File("song.fil", EseqBuilder().Events({0xF1, 0, 0x90, 60, 1}).Build());
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
                     r.options.discardOutput),
            std::make_tuple(true, -150, true, false));
  EXPECT_TRUE(fs::exists(Path("SONG.wav")));
  EXPECT_EQ(std::tie(records_[1].source, records_[1].velocityProfile),
            std::make_tuple("Yamaha ESEQ file", kVelocityProfileDisklavier));  // always, for ESEQ
}

// A disk full at the close fails with 4 and keeps the older output; long names still convert.
TEST_F(ThreadTest, DiskFullFailsWithFourKeepingTheOlderOutput) {
  const std::string song = Midi("song.mid");
  settings_.prependFormatKey = 1;
  script_.frames = 30000;
  for (auto [type, name] : {std::pair{kAudioFileWav, "lx_song.wav"}, {kAudioFileMp3, "lx_song.mp3"},
                            {kAudioFileFlac, "lx_song.flac"}}) {
    settings_.audioFileType = type;
    ASSERT_EQ(Run({song}), Outcome());
    const size_t size = ReadBytes(Path(name)).size();
    File(name, kOld);
    FileSizeLimit guard(size - 1);
    const std::string error = "Error writing to output file \"" + std::string(name) + "\"";
    EXPECT_EQ(Run({song}), Outcome(4, {error + "\n\nFile too large"}));
    EXPECT_EQ(ReadBytes(Path(name)), kOld) << name;
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

// Unfit recordings are left out with a word, none overwritten; the first of .wav, .flac,
// .mp3 that fits is mixed exactly (MP3: as mpg123 decodes it, +-1) a second late.
TEST_F(ThreadTest, AccompanimentsAreChosenNeverOverwrittenAndMixedExactly) {
  const std::string song = Midi("song.mid");
  Samples tone(44100);  // half a second of stereo, the right at half the left
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = Tone(i / 2, 44100) / (1 + i % 2);
  const Bytes w44 = BuildWav16(44100, 2, tone), w48 = BuildWav16(48000, 2, tone), junk(300, 'x');
  File("in.wav", w44);
  const std::string make = "flac -s -o enc.flac in.wav && lame --quiet -b 128 --tt T --add-id3v2";
  const bool tools = HaveTool("which mpg123") &&
                     RunCommand("cd " + Quote(dir_) + " && " + make + " in.wav enc.mp3 2>&1") == 0;
  // A v2.4 tag with a footer, then one full of false sync words (BOM, 40 KB of noise).
  Bytes noisy{'T', 'I', 'T', '2', 0, 0, 0, 7, 0, 0, 1, 0xFF, 0xFE, 'F', 0, 0xFC, 0};
  for (uint32_t x = 1; noisy.size() < 40000;) noisy.push_back((x = x * 69069 + 1) >> 24);
  const Bytes tags = Id3(4, Bytes(13, 0), true) + Id3(3, noisy);
  const std::string none = Omitting("song.wav", "holds no audio that could be read");
  struct Case {
    Bytes wav, mp3, flac;  // song.wav, song.mp3 and song.flac; empty: none
    int key;
    Outcome outcome;
    char mixed;  // m(p3), f(lac), 0 none
  };
  // clang-format off
  const Case cases[] = {
      {w48, {}, {}, 0, {2, {kWrongRate, Overwrite("song.wav")}}, 0},
      {BuildWav8(44100, 1, std::vector<uint8_t>(300, 128)), {}, {}, 1,
       {0, {Omitting("song.wav", "does not contain 16-bit samples")}}, 0},
      // A cut WAV is left out; text has no stream header: rate 0.
      {Bytes(w44.begin(), w44.begin() + 30), junk, {}, 1,
       {0, {Omitting("song.mp3", "does not match selected sample rate")}}, 0},
      {RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}).Build(), {}, {}, 1, {0, {none}}, 0},
      {RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}, 400).Build(), {}, {}, 1, {0, {none}}, 0},
      // An MP3 of one chunk that opens with lame's Info frame; FLAC comes before MP3.
      {w48, tags + ReadBytes(Path("enc.mp3")), {}, 1, {0, {kWrongRate}}, 'm'},
      {w48, junk, ReadBytes(Path("enc.flac")), 1, {0, {kWrongRate}}, 'f'},
  };
  // clang-format on
  for (const Case& c : cases) {
    const int row = static_cast<int>(&c - cases);
    if (c.mixed && !tools) continue;
    const std::map<std::string, Bytes> recordings{
        {"song.wav", c.wav}, {"song.mp3", c.mp3}, {"song.flac", c.flac}};
    for (const auto& [name, bytes] : recordings) {
      fs::remove(Path(name));
      if (!bytes.empty()) File(name, bytes);
    }
    Samples decoded = tone;
    if (c.mixed == 'm') {
      std::string raw;
      RunCommand("mpg123 -q --no-gapless --stereo -s " + Quote(Path("song.mp3")), &raw);
      decoded.assign(raw.size() / 2, 0);
      std::memcpy(decoded.data(), raw.data(), raw.size());
    }
    const size_t n = c.mixed ? decoded.size() / 2 : 0;
    script_.frames = static_cast<uint32_t>(44100 + n + 100);
    settings_.prependFormatKey = c.key;
    records_.clear();
    EXPECT_EQ(Run({song, Midi("other.mid")}), c.outcome) << row;
    for (const auto& [name, bytes] : recordings) EXPECT_EQ(ReadBytes(Path(name)), bytes) << name;
    ASSERT_EQ(records_.size(), c.outcome.first == 0 ? 2u : 0u) << row;  // 2 ends the batch
    if (c.outcome.first != 0) continue;
    EXPECT_EQ(records_[0].accompanimentRateHz, n > 0 ? 44100u : 0u) << row;
    StereoWav out;
    ASSERT_TRUE(ReadStereoWav(Path("lx_song.wav"), out));
    ASSERT_EQ(out.left.size(), script_.frames);
    int worst = 0;
    for (size_t i = 0, k = i - 44100; i < out.left.size(); k = ++i - 44100) {
      int s = k >= n ? 0 : (decoded[2 * k] + decoded[2 * k + 1]) / 2;
      if (k < n) s = s * static_cast<int>(k < 400 ? k : std::min(n - k, size_t{400})) / 400;
      worst = std::max(worst, std::abs(out.left[i] - s));
    }
    EXPECT_LE(worst, c.mixed == 'm' ? 1 : 0) << row;
  }
  if (!tools) GTEST_SKIP() << "rows skipped: flac, lame or mpg123 missing";
}

}  // namespace
}  // namespace tonvelo::test
