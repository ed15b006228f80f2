#include "pipeline/conversion_thread.h"

#include "audio/pcm_out_mp3.h"
#include "tests/pipeline/thread_fixture.h"
#include "tests/support/eseq_builder.h"

namespace tonvelo::test {
namespace {

using Strings = std::vector<std::string>;

const char* kOverwriteText =
    "Output file \"song.wav\" would overwrite source accompaniment audio file! Choose a different "
    "destination folder for the output and try again.";
const char* kRateText =
    "Accompaniment file \"song.wav\" does not match selected sample rate.\nOmitting accompaniment "
    "for this track.";

TEST_F(ThreadTest, EmptyListShowsOnlyTheLossyFormatWarnings) {
  const char* disklavier =
      "Please note that Disklavier tracks compressed to MP3 files (or other lossy formats) will "
      "not play reliably.\nFor best results, encode to WAV format and then compress using FLAC or "
      "Apple Lossless Audio Codec.";
  const char* cassette =
      "Please note that Cassette Converter tracks compressed to MP3 files (or other lossy formats) "
      "might not play reliably.\nFor best results, encode to WAV format and then compress using "
      "FLAC or Apple Lossless Audio Codec.";
  struct Case {
    int format, audioType;
    Strings messages;
  };
  for (const Case& c : {Case{0, 0, {}}, Case{0, 1, {}}, Case{8, 0, {}}, Case{8, 1, {disklavier}},
                        Case{10, 1, {cassette}}, Case{11, 1, {cassette}}}) {
    events_ = RecordingEvents();
    settings_.outputFormat = c.format;
    settings_.audioFileType = c.audioType;
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
    EXPECT_EQ(Messages(), c.messages) << c.format;
    for (const auto& m : events_.messages) EXPECT_EQ(m.first, MessageIcon::kWarning);
    EXPECT_EQ(events_.finished, std::vector<int>{0});
  }
}

TEST_F(ThreadTest, OutputNamesTakeTheCatalogueKeyWhenAsked) {
  const std::string song = WriteMidi("song.mid");
  struct Case {
    int format, prefix, audioType;
    const char* name;
  };
  for (const Case& c :
       {Case{9, 1, 0, "spirio_song.wav"}, Case{0, 1, 0, "lx_song.wav"}, Case{9, 0, 0, "song.wav"},
        Case{42, 1, 0, "song.wav"}, Case{8, 1, 1, "disklavier_song.mp3"}}) {
    settings_.outputFormat = c.format;
    settings_.prependFormatKey = c.prefix;
    settings_.audioFileType = c.audioType;
    EXPECT_EQ(Run({{song, ""}}), 0);
    EXPECT_TRUE(fs::exists(Path(c.name))) << c.name;
    EXPECT_EQ(records_.back().formatId, c.format);
    EXPECT_EQ(records_.back().outputBase + (c.audioType ? ".mp3" : ".wav"), Path(c.name));
    fs::remove(Path(c.name));
  }
  EXPECT_EQ(events_.status[1], "Converting file 1 of 1\n" + song);

  // The written track holds exactly the encoder's frames; no accompaniment.
  settings_ = ConversionSettings();
  ASSERT_EQ(Run({{song, ""}}), 0);
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("song.wav"), wav));
  EXPECT_EQ(wav.rate, 44100u);
  ASSERT_EQ(wav.right.size(), 500u);
  EXPECT_EQ(wav.right[499], 1499);
  EXPECT_EQ(wav.left, std::vector<int16_t>(500, 0));
}

TEST_F(ThreadTest, CustomFolderMirrorsSubFoldersAndTagsStayBesideTheSource) {
  const std::string a = WriteMidi("in/Rolls/a.mid");
  const std::string b = WriteMidi("in/Rolls/Sub/b.mid");
  const std::string c = WriteMidi("in/c.mid");
  settings_.outputPathMode = 1;
  for (const std::string& custom : {Path("out"), Path("out") + "/"}) {
    settings_.customOutputFolder = custom;
    ASSERT_EQ(Run({{a, "Rolls/"}, {b, "Rolls/Sub/"}, {c, ""}}), 0);
    EXPECT_EQ(records_[records_.size() - 3].outputBase, Path("out/Rolls/a"));
    EXPECT_EQ(records_[records_.size() - 2].outputBase, Path("out/Rolls/Sub/b"));
    EXPECT_EQ(records_.back().outputBase, Path("out/c"));
    EXPECT_TRUE(fs::exists(Path("out/Rolls/Sub/b.wav")));
    EXPECT_TRUE(fs::exists(Path("out/c.wav")));
  }
  // The tags file is looked for beside the source, whatever the output folder.
  WriteFile("in/c.tags.txt", {'T', 'I', 'T', '2', '=', 'M', 'i', 'r', 'r', 'o', 'r', 'e', 'd'});
  settings_.audioFileType = 1;
  ASSERT_EQ(Run({{c, ""}}), 0);
  const Bytes mp3 = ReadFileBytes(Path("out/c.mp3"));
  const std::string mirrored = "Mirrored";
  EXPECT_NE(std::search(mp3.begin(), mp3.end(), mirrored.begin(), mirrored.end()), mp3.end());
}

TEST_F(ThreadTest, OutputFolderThatCannotBeCreatedEndsTheBatchSilently) {
  WriteFile("blocker", {1, 2, 3});
  settings_.outputPathMode = 1;
  settings_.customOutputFolder = Path("blocker/out");
  EXPECT_EQ(Run({{WriteMidi("a.mid"), "Rolls/"}, {WriteMidi("b.mid"), ""}}), 4);
  EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
  EXPECT_TRUE(events_.messages.empty());
  EXPECT_TRUE(records_.empty());
  EXPECT_EQ(events_.finished, std::vector<int>{4});
}

TEST_F(ThreadTest, OutputNeverOverwritesTheAccompaniment) {
  const std::string song = WriteMidi("song.mid");
  const Bytes original = ReadFileBytes(WriteWav("song.wav", 44100));
  const std::string other = WriteMidi("other.mid");

  EXPECT_EQ(Run({{song, ""}, {other, ""}}), 2);
  EXPECT_EQ(Messages(), Strings{kOverwriteText});
  EXPECT_EQ(events_.messages[0].first, MessageIcon::kError);
  EXPECT_EQ(events_.status.size(), 2u);  // the batch ended before other.mid
  EXPECT_TRUE(records_.empty());
  EXPECT_EQ(ReadFileBytes(Path("song.wav")), original);

  // With the key the output has a name of its own and takes the recording.
  events_ = RecordingEvents();
  settings_.prependFormatKey = 1;
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_TRUE(events_.messages.empty());
  EXPECT_TRUE(records_.back().hasAccompaniment);
  EXPECT_EQ(records_.back().accompanimentLength, 2000u);
  EXPECT_TRUE(fs::exists(Path("lx_song.wav")));
  EXPECT_EQ(ReadFileBytes(Path("song.wav")), original);

  // A recording the search passes over (wrong rate) is protected just as well.
  events_ = RecordingEvents();
  settings_.prependFormatKey = 0;
  const Bytes wrongRate = ReadFileBytes(WriteWav("song.wav", 48000));
  EXPECT_EQ(Run({{song, ""}}), 2);
  EXPECT_EQ(Messages(), (Strings{kRateText, kOverwriteText}));
  EXPECT_EQ(ReadFileBytes(Path("song.wav")), wrongRate);

  // So is a music source whose name is the output's.
  events_ = RecordingEvents();
  const Bytes midi = ReadFileBytes(song);
  WriteFile("tune.wav", midi);
  EXPECT_EQ(Run({{Path("tune.wav"), ""}}), 2);
  EXPECT_EQ(Messages(), Strings{"Output file \"tune.wav\" would overwrite source music file! "
                                "Choose a different destination folder for the output and try "
                                "again."});
  EXPECT_EQ(ReadFileBytes(Path("tune.wav")), midi);
}

TEST_F(ThreadTest, AccompanimentSearchChecksRateAndWidthThenTriesTheMp3) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  WriteWav("song.wav", 48000);
  {
    CPCMOut_MP3 mp3;
    ASSERT_EQ(mp3.Open(Path("song.mp3"), 44100, "song", Path("none.tags.txt"), true, false),
              AudioResult::kOk);
    for (int i = 0; i < 44100; ++i) ASSERT_EQ(mp3.WriteFrame(0, 0), AudioResult::kOk);
    ASSERT_EQ(mp3.Close(), AudioResult::kOk);
  }
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_EQ(Messages(), Strings{kRateText});
  EXPECT_TRUE(records_.back().hasAccompaniment);
  EXPECT_EQ(records_.back().accompanimentRateHz, 44100u);

  // At 48 kHz the WAV is the one that fits.
  events_ = RecordingEvents();
  settings_.sampleRateChoice = 1;
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_TRUE(events_.messages.empty());
  EXPECT_EQ(records_.back().accompanimentRateHz, 48000u);
  EXPECT_EQ(records_.back().sampleRateHz, 48000u);

  events_ = RecordingEvents();
  settings_.sampleRateChoice = 0;
  fs::remove(Path("song.mp3"));
  WriteFile("song.wav", BuildWav8(44100, 1, std::vector<uint8_t>(300, 128)));
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_EQ(Messages(), Strings{"Accompaniment file \"song.wav\" does not contain 16-bit "
                                "samples.\nOmitting accompaniment for this track."});
  EXPECT_FALSE(records_.back().hasAccompaniment);
}

TEST_F(ThreadTest, EncoderResultsBecomeMessagesAndFailedOutputsAreDeleted) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  struct Case {
    int code;
    const char* message;
  };
  for (const Case& c : {Case{0, nullptr}, Case{2, nullptr}, Case{3, "File \"song.mid\" is damaged"},
                        Case{5, "Out of memory while processing \"song.mid\""},
                        Case{6, "Data formatting error while processing \"song.mid\""},
                        Case{1, "Unknown error while processing \"song.mid\""},
                        Case{9, "Unknown error while processing \"song.mid\""}}) {
    events_ = RecordingEvents();
    result_ = static_cast<Result>(c.code);
    EXPECT_EQ(Run({{song, ""}}), c.code);
    EXPECT_EQ(Messages(), c.message ? Strings{c.message} : Strings{}) << c.code;
    EXPECT_EQ(fs::exists(Path("lx_song.wav")), c.code == 0) << c.code;
  }
  // A write error carries the system's reason.
  events_ = RecordingEvents();
  result_ = Result::kWriteError;
  errno = 0;
  EXPECT_EQ(Run({{song, ""}}), 4);
  EXPECT_EQ(Messages(),
            Strings{"Error writing to output file \"lx_song.wav\"\n\nError 0 occurred."});
  EXPECT_FALSE(fs::exists(Path("lx_song.wav")));
}

TEST_F(ThreadTest, CancelStopsTheBatchAndDeletesThePartialOutput) {
  CancellingEvents events(cancel_);
  mode_ = FakeMode::kUntilCancelled;
  EXPECT_EQ(Run({{WriteMidi("a.mid"), ""}, {WriteMidi("b.mid"), ""}}, events), 2);
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_FALSE(fs::exists(Path("a.wav")));
  EXPECT_TRUE(events.messages.empty());
  EXPECT_EQ(events.finished, std::vector<int>{2});

  // A flag already set stops the batch before its first file.
  EXPECT_EQ(Run({{WriteMidi("c.mid"), ""}}), 2);
  EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
}

TEST_F(ThreadTest, UnreadableSourcesAreReportedAndTheLastFileDecides) {
  const std::string good = WriteMidi("good.mid");
  const std::string text = WriteFile("notes.txt", Bytes(100, 'x'));
  const std::string broken =
      WriteFile("broken.mid", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1, 0xE0, 'X', 'X'});
  const std::string pc = WriteFile("song.pc", ReadFileBytes(good));
  EXPECT_EQ(Run({{text, ""}, {Path("missing.mid"), ""}, {broken, ""}, {pc, ""}, {good, ""}}), 0);
  EXPECT_EQ(Messages(), (Strings{"\"notes.txt\" is not a valid MIDI or ESEQ file",
                                 "Unable to open file \"missing.mid\"\n\nNo such file or directory",
                                 "File \"broken.mid\" is damaged",
                                 "\"song.pc\" is not a valid MIDI or ESEQ file"}));
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_EQ(events_.status.size(), 6u);
  EXPECT_FALSE(fs::exists(Path("notes.wav")));

  fs::remove(Path("good.wav"));  // else the next run would take it for good.mid's recording
  EXPECT_EQ(Run({{good, ""}, {text, ""}}), 3);
}

TEST_F(ThreadTest, ReadersAndSettingsReachTheEncoder) {
  // Only an exact ".pc" is Pianocorder data; SONG.PC is read as MIDI.
  const std::string upper = WriteFile("SONG.PC", ReadFileBytes(WriteMidi("x.mid")));
  const std::string eseq =
      WriteFile("song.fil", EseqBuilder().Events({0xF1, 0x00, 0x90, 60, 1, 0xF2}).Build());
  settings_.outputFormat = 9;
  settings_.sampleRateChoice = 1;
  settings_.synthPropPedaling = 1;
  settings_.sustainTimingOffset = -150;
  diagnostic_ = true;
  EXPECT_EQ(Run({{upper, ""}, {eseq, ""}}), 0);
  ASSERT_EQ(records_.size(), 2u);
  const EncoderRecord& midi = records_[0];
  EXPECT_EQ(midi.sourceDescription, "Standard MIDI file");
  EXPECT_EQ(midi.title, "SONG");
  EXPECT_EQ(midi.velocityProfile, 0);
  EXPECT_EQ(midi.sampleRateHz, 48000u);
  EXPECT_TRUE(midi.diagnostic);
  EXPECT_EQ(midi.options.sustainTimingOffset, -150);
  EXPECT_TRUE(midi.options.synthPropPedaling);
  EXPECT_FALSE(midi.options.discardOutput);
  EXPECT_EQ(midi.events, &events_);
  EXPECT_EQ(midi.cancel, &cancel_);
  EXPECT_TRUE(midi.hasOutput);
  EXPECT_TRUE(fs::exists(Path("SONG.wav")));
  // ESEQ sources always use the Disklavier velocity profile.
  EXPECT_EQ(records_[1].sourceDescription, "Yamaha ESEQ file");
  EXPECT_EQ(records_[1].velocityProfile, 1);
}

TEST_F(ThreadTest, PianocorderDataPlaysOnlyAsPianocorder) {
  // A stand-in record: the loader only has to answer "loaded".
  auto owner = std::make_shared<int>(0);
  pianocorderLoader_ = [owner](const fs::path&) {
    return PianocorderSource(owner, reinterpret_cast<PianocorderFile*>(owner.get()));
  };
  const std::string pc = WriteFile("tune.pc", Bytes(64, 0));
  EXPECT_EQ(Run({{pc, ""}, {WriteMidi("next.mid"), ""}}), 3);
  EXPECT_EQ(Messages(), Strings{"Pianocorder files cannot be converted to other formats."});
  EXPECT_TRUE(records_.empty());
  EXPECT_FALSE(fs::exists(Path("tune.wav")));
  EXPECT_EQ(events_.status.size(), 2u);

  settings_.outputFormat = 3;
  EXPECT_EQ(Run({{pc, ""}}), 0);
  EXPECT_EQ(records_.back().sourceDescription, "");  // no music reader
  // Half speed is the writer's job: every frame stored twice.
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("tune.wav"), wav));
  ASSERT_EQ(wav.right.size(), 1000u);
  EXPECT_EQ(wav.right[0], wav.right[1]);
  EXPECT_EQ(wav.right[998], 1499);
}

TEST_F(ThreadTest, DiscardNoEncoderAndOutOfMemoryKeepOtherFilesAlone) {
  const std::string song = WriteMidi("song.mid");
  // Discarding writes nothing, so a failure deletes nothing either.
  discard_ = true;
  settings_.prependFormatKey = 1;
  WriteFile("lx_song.wav", {'o', 'l', 'd'});
  result_ = Result::kDataFormatError;
  EXPECT_EQ(Run({{song, ""}}), 6);
  EXPECT_TRUE(records_.back().options.discardOutput);
  EXPECT_EQ(ReadFileBytes(Path("lx_song.wav")), (Bytes{'o', 'l', 'd'}));

  // No encoder for the format: the batch ends without a word or a file.
  discard_ = false;
  encoderAvailable_ = false;
  events_ = RecordingEvents();
  EXPECT_EQ(Run({{Path("notes.txt"), ""}, {song, ""}, {song, ""}}), 3);
  EXPECT_EQ(events_.status.size(), 3u);
  EXPECT_EQ(Messages().size(), 1u);
  EXPECT_FALSE(fs::exists(Path("lx_song.wav")));

  // Running out of memory fails the file, not the batch.
  encoderAvailable_ = true;
  mode_ = FakeMode::kThrowBadAlloc;
  events_ = RecordingEvents();
  EXPECT_EQ(Run({{song, ""}, {WriteMidi("two.mid"), ""}}), 5);
  EXPECT_EQ(Messages(), (Strings{"Out of memory while processing \"song.mid\"",
                                 "Out of memory while processing \"two.mid\""}));
  EXPECT_FALSE(fs::exists(Path("lx_two.wav")));
}

TEST_F(ThreadTest, OutputThatCannotBeCreatedFailsOnlyItsFile) {
  fs::create_directories(Path("out/song.wav"));
  settings_.outputPathMode = 1;
  settings_.customOutputFolder = Path("out");
  EXPECT_EQ(Run({{WriteMidi("song.mid"), ""}, {WriteMidi("next.mid"), ""}}), 0);
  EXPECT_EQ(Messages(), Strings{"Couldn't create output file \"song.wav\"\n\nIs a directory"});
  EXPECT_TRUE(fs::is_directory(Path("out/song.wav")));
  EXPECT_TRUE(fs::exists(Path("out/next.wav")));
}

TEST_F(ThreadTest, StartRunsTheBatchOnItsOwnThread) {
  const std::vector<FileEntry> files{{WriteMidi("song.mid"), ""}};
  CConversionThread thread(files, settings_, events_, cancel_);
  thread.SetEncoderFactory(Factory());
  ASSERT_TRUE(thread.Start());
  thread.Join();
  EXPECT_EQ(events_.finished, std::vector<int>{0});
  EXPECT_TRUE(fs::exists(Path("song.wav")));
}

}  // namespace
}  // namespace tonvelo::test
