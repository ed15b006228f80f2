#include "pipeline/conversion_thread.h"

#include <algorithm>
#include <tuple>

#include "pipeline/catalogue.h"
#include "tests/pipeline/thread_fixture.h"
#include "tests/support/eseq_builder.h"

namespace tonvelo::test {
namespace {

using Strings = std::vector<std::string>;

const char* kOverwrite =
    "Output file \"song.wav\" would overwrite source accompaniment audio file! Choose a different "
    "destination folder for the output and try again.";
const char* kWrongRate =
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
  for (const Case& c : {Case{8, 0, {}}, Case{0, 1, {}}, Case{8, 1, {disklavier}},
                        Case{10, 1, {cassette}}, Case{11, 1, {cassette}}}) {
    settings_.outputFormat = c.format;
    settings_.audioFileType = c.audioType;
    EXPECT_EQ(Run({}), 0);
    EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
    EXPECT_EQ(events_.finished, std::vector<int>{0});
    EXPECT_EQ(messages_, c.messages) << c.format;
    for (const auto& m : events_.messages) EXPECT_EQ(m.first, MessageIcon::kWarning);
  }
}

TEST_F(ThreadTest, OutputNamesTakeTheCatalogueKeyWhenAsked) {
  const std::string song = WriteMidi("song.mid");
  struct Case {
    int format, prefix, audioType;
    const char* name;
  };
  for (const Case& c : {Case{9, 1, 0, "spirio_song.wav"}, Case{9, 0, 0, "song.wav"},
                        Case{42, 1, 0, "song.wav"}, Case{8, 1, 1, "disklavier_song.mp3"}}) {
    settings_.outputFormat = c.format;
    settings_.prependFormatKey = c.prefix;
    settings_.audioFileType = c.audioType;
    EXPECT_EQ(Run({{song, ""}}), 0);
    EXPECT_TRUE(fs::exists(Path(c.name))) << c.name;
    EXPECT_EQ(records_.back().outputBase + (c.audioType ? ".mp3" : ".wav"), Path(c.name));
    fs::remove(Path(c.name));
  }
  EXPECT_EQ(events_.status[1], "Converting file 1 of 1\n" + song);

  // The track holds exactly the encoder's frames; no accompaniment, no delay.
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
  const std::string a = WriteMidi("in/Rolls/a.mid"), b = WriteMidi("in/Rolls/Sub/b.mid");
  const std::string c = WriteMidi("in/c.mid");
  settings_.outputPathMode = 1;
  for (const std::string& custom : {Path("out"), Path("out") + "/"}) {
    settings_.customOutputFolder = custom;
    records_.clear();
    ASSERT_EQ(Run({{a, "Rolls/"}, {b, "Rolls/Sub/"}, {c, ""}}), 0);
    EXPECT_EQ(records_[0].outputBase, Path("out/Rolls/a"));
    EXPECT_EQ(records_[1].outputBase, Path("out/Rolls/Sub/b"));
    EXPECT_EQ(records_[2].outputBase, Path("out/c"));
    EXPECT_TRUE(fs::exists(Path("out/Rolls/Sub/b.wav")));
  }
  WriteFile("in/c.tags.txt", {'T', 'I', 'T', '2', '=', 'M', 'i', 'r', 'r', 'o', 'r'});
  settings_.audioFileType = kAudioFileMp3;
  ASSERT_EQ(Run({{c, ""}}), 0);
  const Bytes mp3 = ReadBytes(Path("out/c.mp3"));
  const std::string tag = "Mirror";
  EXPECT_NE(std::search(mp3.begin(), mp3.end(), tag.begin(), tag.end()), mp3.end());

  // A folder that cannot be created ends the batch, saying why.
  WriteFile("blocker", {1});
  settings_.customOutputFolder = Path("blocker/out");
  records_.clear();
  EXPECT_EQ(Run({{a, "Rolls/"}, {b, ""}}), 4);
  EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
  EXPECT_EQ(messages_, Strings{"Couldn't create output folder \"" + Path("blocker/out/Rolls/") +
                               "\"\n\nNot a directory"});
  EXPECT_TRUE(records_.empty());
}

TEST_F(ThreadTest, OutputNeverOverwritesTheAccompanimentOrTheSource) {
  const std::string song = WriteMidi("song.mid");
  const Bytes recording = ReadBytes(WriteWav("song.wav", 44100));
  EXPECT_EQ(Run({{song, ""}, {WriteMidi("other.mid"), ""}}), 2);
  EXPECT_EQ(messages_, Strings{kOverwrite});
  EXPECT_EQ(events_.messages[0].first, MessageIcon::kError);
  EXPECT_EQ(events_.status.size(), 2u);  // other.mid never started
  EXPECT_TRUE(records_.empty());
  EXPECT_EQ(ReadBytes(Path("song.wav")), recording);

  // With the key the output has a name of its own and takes the recording.
  settings_.prependFormatKey = 1;
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(records_.back().accompanimentRateHz, 44100u);
  EXPECT_TRUE(fs::exists(Path("lx_song.wav")));
  EXPECT_EQ(ReadBytes(Path("song.wav")), recording);

  // A recording the search passes over is protected as well, and so is a
  // music source that bears the output's name.
  settings_.prependFormatKey = 0;
  const Bytes wrongRate = ReadBytes(WriteWav("song.wav", 48000));
  EXPECT_EQ(Run({{song, ""}}), 2);
  EXPECT_EQ(messages_, (Strings{kWrongRate, kOverwrite}));
  EXPECT_EQ(ReadBytes(Path("song.wav")), wrongRate);
  const Bytes midi = ReadBytes(song);
  EXPECT_EQ(Run({{WriteFile("tune.wav", midi), ""}}), 2);
  EXPECT_EQ(messages_, Strings{"Output file \"tune.wav\" would overwrite source music file! Choose "
                               "a different destination folder for the output and try again."});
  EXPECT_EQ(ReadBytes(Path("tune.wav")), midi);
}

TEST_F(ThreadTest, AccompanimentMustMatchRateAndWidthElseTheMp3IsTried) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  WriteWav("song.wav", 48000);
  ASSERT_TRUE(WriteToneMp3(Path("song.mp3"), 44100));
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_EQ(messages_, Strings{kWrongRate});
  EXPECT_EQ(records_.back().accompanimentRateHz, 44100u);

  settings_.sampleRateChoice = 1;  // now the WAV fits
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(records_.back().accompanimentRateHz, 48000u);
  EXPECT_EQ(records_.back().sampleRateHz, 48000u);

  settings_.sampleRateChoice = 0;
  fs::remove(Path("song.mp3"));
  WriteFile("song.wav", BuildWav8(44100, 1, std::vector<uint8_t>(300, 128)));
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_EQ(messages_, Strings{"Accompaniment file \"song.wav\" does not contain 16-bit "
                               "samples.\nOmitting accompaniment for this track."});
  EXPECT_EQ(records_.back().accompanimentRateHz, 0u);
}

TEST_F(ThreadTest, FlacRecordingIsFoundAfterTheWavAndMixedAsIts) {
  if (!HaveTool("flac --version")) GTEST_SKIP() << "flac not installed";
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  frames_ = 3000;  // past the recording's end and its fade
  std::vector<int16_t> recording;
  for (uint32_t i = 0; i < 2000; ++i)
    recording.insert(recording.end(), {Tone(i, 44100), int16_t(i * 31)});
  WriteFile("song.wav", BuildWav16(44100, 2, recording));
  ASSERT_EQ(Run({{song, ""}}), 0);
  const Bytes fromWav = ReadBytes(Path("lx_song.wav"));

  // The same recording as FLAC, with a WAV at the wrong rate ahead of it and
  // an MP3 behind it: the FLAC is taken, and mixed sample for sample alike.
  ASSERT_EQ(RunCommand("flac -s -o " + Quote(Path("song.flac")) + " " + Quote(Path("song.wav"))),
            0);
  WriteWav("song.wav", 48000);
  ASSERT_TRUE(WriteToneMp3(Path("song.mp3"), 44100));
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_EQ(messages_, Strings{kWrongRate});
  EXPECT_EQ(ReadBytes(Path("lx_song.wav")), fromWav);

  // A FLAC output without the key would be the recording itself.
  settings_.audioFileType = kAudioFileFlac;
  settings_.prependFormatKey = 0;
  EXPECT_EQ(Run({{song, ""}}), 2);
  EXPECT_EQ(messages_.back().rfind("Output file \"song.flac\" would overwrite source", 0), 0u);
}

TEST_F(ThreadTest, BrokenRecordingsBesideTheSourceAreLeftOutAndLeftAlone) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  Bytes cutWav = BuildWav16(44100, 2, std::vector<int16_t>(4000, 1));
  cutWav.resize(30);  // ends inside the fmt chunk
  WriteFile("song.wav", cutWav);
  WriteFile("song.mp3", Bytes(300, 'x'));
  EXPECT_EQ(Run({{song, ""}}), 0);
  EXPECT_EQ(records_.back().accompanimentRateHz, 0u);
  EXPECT_TRUE(fs::exists(Path("lx_song.wav")));
  EXPECT_EQ(ReadBytes(Path("song.wav")), cutWav);
  EXPECT_EQ(ReadBytes(Path("song.mp3")), Bytes(300, 'x'));
  // The text ".mp3" has no stream header: rate 0, which no output rate matches.
  EXPECT_EQ(messages_, Strings{"Accompaniment file \"song.mp3\" does not match selected sample "
                               "rate.\nOmitting accompaniment for this track."});
}

TEST_F(ThreadTest, EncoderResultsBecomeMessagesAndFailedOutputsAreDeleted) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  struct Case {
    int code;
    const char* message;
  };
  for (const Case& c :
       {Case{0, nullptr}, Case{2, nullptr}, Case{3, "File \"song.mid\" is damaged"},
        Case{
            4,
            "Error writing to output file \"lx_song.wav\"\n\nThe WAV file could not be completed."},
        Case{5, "Out of memory while processing \"song.mid\""},
        Case{6, "Data formatting error while processing \"song.mid\""},
        Case{1, "Unknown error while processing \"song.mid\""},
        Case{9, "Unknown error while processing \"song.mid\""}}) {
    // An older output of the name survives every failure; only a complete
    // track replaces it, and no partial file is left behind.
    WriteFile("lx_song.wav", {'o', 'l', 'd'});
    result_ = static_cast<Result>(c.code);
    EXPECT_EQ(Run({{song, ""}}), c.code);
    EXPECT_EQ(messages_, c.message ? Strings{c.message} : Strings{}) << c.code;
    EXPECT_EQ(ReadBytes(Path("lx_song.wav")) == (Bytes{'o', 'l', 'd'}), c.code != 0) << c.code;
    for (const auto& entry : fs::directory_iterator(Path(""))) {
      EXPECT_EQ(entry.path().string().find(kPartialOutputSuffix), std::string::npos) << c.code;
    }
  }
}

TEST_F(ThreadTest, CancelStopsTheBatchAndDeletesThePartialOutput) {
  struct CancellingEvents : RecordingEvents {
    explicit CancellingEvents(CancelFlag& f) : flag(f) {}
    void OnProgress(unsigned) override { flag.store(1); }  // the user presses Cancel
    CancelFlag& flag;
  } events(cancel_);
  mode_ = FakeMode::kUntilCancelled;
  EXPECT_EQ(Run({{WriteMidi("a.mid"), ""}, {WriteMidi("b.mid"), ""}}, &events), 2);
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_FALSE(fs::exists(Path("a.wav")));
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(events.finished, std::vector<int>{2});

  EXPECT_EQ(Run({{WriteMidi("c.mid"), ""}}), 2);  // still set: no file starts
  EXPECT_EQ(events_.status, Strings{"Conversion in progress"});
}

TEST_F(ThreadTest, UnreadableSourcesAreReportedAndTheLastFileDecides) {
  const std::string good = WriteMidi("good.mid"), text = WriteFile("notes.txt", Bytes(100, 'x'));
  const std::string broken =
      WriteFile("broken.mid", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1, 0xE0, 'X', 'X'});
  Bytes cutBytes = ReadBytes(good);
  cutBytes.resize(cutBytes.size() - 3);
  const std::string cut = WriteFile("cut.mid", cutBytes);
  const std::string pc = WriteFile("song.pc", ReadBytes(good));
  MidiBuilder patterns(2, 480);
  patterns.AddTrack().NoteOn(0, 0, 60, 100).End();
  const std::string format2 = WriteFile("patterns.mid", patterns.Build());
  const std::string stub = WriteFile("stub.mid", {'M', 'T', 'h', 'd', 0});
  std::vector<FileEntry> list;
  for (const std::string& p : {text, Path("missing.mid"), broken, cut, pc, format2, stub, good}) {
    list.push_back({p, ""});
  }
  EXPECT_EQ(Run(list), 0);
  // Without a system error the second paragraph says what is wrong.
  EXPECT_EQ(messages_,
            (Strings{"\"notes.txt\" is not a valid MIDI or ESEQ file",
                     "Unable to open file \"missing.mid\"\n\nNo such file or directory",
                     "File \"broken.mid\" is damaged\n\nIts header announces more tracks than it "
                     "holds (an \"MTrk\" chunk is missing).",
                     "File \"cut.mid\" is damaged\n\nA track runs past the end of the file: the "
                     "file was cut off.",
                     "\"song.pc\" is not a valid MIDI or ESEQ file",
                     "Unable to open file \"patterns.mid\"\n\nIt is a MIDI file of format 2 (a set "
                     "of independent patterns), which does not play as one piece; only formats 0 "
                     "and 1 can be converted.",
                     "Unable to open file \"stub.mid\"\n\nThe file ends early (5 bytes): it is too "
                     "short to be a MIDI or ESEQ file, or it was cut off when it was copied."}));
  EXPECT_EQ(records_.size(), 1u);
  EXPECT_FALSE(fs::exists(Path("notes.wav")));
  fs::remove(Path("good.wav"));  // else it would be good.mid's recording next time
  EXPECT_EQ(Run({{good, ""}, {text, ""}}), 3);
}

TEST_F(ThreadTest, ReadersAndSettingsReachTheEncoder) {
  // Only an exact ".pc" is Pianocorder data; SONG.PC is read as MIDI.
  const std::string upper = WriteFile("SONG.PC", ReadBytes(WriteMidi("x.mid")));
  const std::string eseq =
      WriteFile("song.fil", EseqBuilder().Events({0xF1, 0x00, 0x90, 60, 1, 0xF2}).Build());
  // "tune." is opened as listed; "tune", which its parts also spell, is text.
  const std::string dotted = WriteFile("tune.", ReadBytes(upper));
  WriteFile("tune", Bytes(100, 'x'));
  settings_ = {9, 0, 0, 0, "", 1, kVelocityProfileFull, 1, -150};
  diagnostic_ = true;
  EXPECT_EQ(Run({{upper, ""}, {eseq, ""}, {dotted, ""}}), 0);
  EXPECT_TRUE(messages_.empty());
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
  const std::string pc = WriteFile("tune.pc", Bytes(64, 0));
  EXPECT_EQ(Run({{pc, ""}, {WriteMidi("next.mid"), ""}}), 3);
  EXPECT_EQ(messages_, Strings{"Pianocorder files cannot be converted to other formats."});
  EXPECT_TRUE(records_.empty());
  EXPECT_FALSE(fs::exists(Path("tune.wav")));
  EXPECT_EQ(events_.status.size(), 2u);

  settings_.outputFormat = kFormatHalfSpeed;
  EXPECT_EQ(Run({{pc, ""}}), 0);
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
  const std::string pcs[] = {WriteFile("empty.pc", {}), WriteFile("bare.pc", header),
                             WriteFile("wrong.pc", wrong), WriteFile("short.pc", oneFrame)};
  EXPECT_EQ(Run({{pcs[0], ""}, {pcs[1], ""}, {pcs[2], ""}, {pcs[3], ""}}), 0);
  EXPECT_EQ(messages_, (Strings{"\"empty.pc\" is not a valid MIDI or ESEQ file",
                                "File \"bare.pc\" is damaged",
                                "\"wrong.pc\" is not a valid MIDI or ESEQ file",
                                "File \"short.pc\" holds fewer frames than its header announces; "
                                "the frames present are played."}));
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_NE(records_[0].options.pianocorderFile, nullptr);  // handed to the encoder
}

TEST_F(ThreadTest, FailuresOutsideTheEncoderKeepOtherFilesAlone) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  // Discarding writes nothing, so a failure deletes nothing either.
  discard_ = true;
  WriteFile("lx_song.wav", {'o', 'l', 'd'});
  result_ = Result::kDataFormatError;
  EXPECT_EQ(Run({{song, ""}}), 6);
  EXPECT_TRUE(records_.back().options.discardOutput);
  EXPECT_EQ(ReadBytes(Path("lx_song.wav")), (Bytes{'o', 'l', 'd'}));
  discard_ = false;

  // No encoder for the format: the batch ends without a word or a file.
  encoderAvailable_ = false;
  EXPECT_EQ(Run({{Path("notes.txt"), ""}, {song, ""}, {song, ""}}), 3);
  EXPECT_EQ(events_.status.size(), 3u);
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_EQ(ReadBytes(Path("lx_song.wav")), (Bytes{'o', 'l', 'd'}));
  encoderAvailable_ = true;

  // Running out of memory fails the file, not the batch.
  mode_ = FakeMode::kThrowBadAlloc;
  EXPECT_EQ(Run({{song, ""}, {WriteMidi("two.mid"), ""}}), 5);
  EXPECT_EQ(messages_, (Strings{"Out of memory while processing \"song.mid\"",
                                "Out of memory while processing \"two.mid\""}));
  EXPECT_FALSE(fs::exists(Path("lx_two.wav")));
  mode_ = FakeMode::kFrames;
  result_ = Result::kSuccess;

  // A full disk is a write error whose output is deleted; a last file that
  // cannot be opened decides the batch.
  {
    FileSizeLimit limit(1000);  // the 500 frames reach the disk only when the writer closes
    EXPECT_EQ(Run({{song, ""}, {Path("absent.mid"), ""}}), 3);
  }
  EXPECT_EQ(messages_[0], "Error writing to output file \"lx_song.wav\"\n\nFile too large");
  EXPECT_EQ(ReadBytes(Path("lx_song.wav")), (Bytes{'o', 'l', 'd'}));

  // An output that cannot be created fails only its file.
  fs::create_directories(Path("lx_song.mp3"));
  settings_.audioFileType = kAudioFileMp3;
  EXPECT_EQ(Run({{song, ""}, {Path("two.mid"), ""}}), 0);
  EXPECT_EQ(messages_, Strings{"Couldn't create output file \"lx_song.mp3\"\n\nIs a directory"});
  EXPECT_TRUE(fs::exists(Path("lx_two.mp3")));
}

TEST_F(ThreadTest, DiskFullAtAnyByteFailsWithFourKeepingTheOlderOutput) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  frames_ = 30000;
  const auto hidden = [this] {
    return std::count_if(fs::directory_iterator(dir_), fs::directory_iterator(), [](auto& e) {
      return e.path().string().find(kPartialOutputSuffix) != std::string::npos;
    });
  };
  for (const char* name : {"lx_song.wav", "lx_song.mp3", "lx_song.flac"}) {
    settings_.audioFileType = name[8] == 'w'   ? kAudioFileWav
                              : name[8] == 'm' ? kAudioFileMp3
                                               : kAudioFileFlac;
    ASSERT_EQ(Run({{song, ""}}), 0);
    const size_t size = ReadBytes(Path(name)).size();
    for (const size_t limit : {size_t{0}, size_t{1}, size_t{44}, size / 2, size - 1}) {
      WriteFile(name, {'o', 'l', 'd'});
      FileSizeLimit guard(limit);
      EXPECT_EQ(Run({{song, ""}}), 4) << name << " " << limit;
      EXPECT_EQ(ReadBytes(Path(name)), (Bytes{'o', 'l', 'd'})) << name << " " << limit;
      EXPECT_EQ(hidden(), 0) << name << " " << limit;
    }
  }
  // A name near the file system's limit still converts.
  const std::string longTitle(240, 'n');
  EXPECT_EQ(Run({{WriteMidi(longTitle + ".mid"), ""}}), 0);
  EXPECT_TRUE(fs::exists(Path("lx_" + longTitle + ".flac")));
}

}  // namespace
}  // namespace tonvelo::test
