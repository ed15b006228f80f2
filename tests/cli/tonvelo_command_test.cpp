// The built `tonvelo` in a child process (as "nobody" when run as root, so that
// permissions hold for it); in-process for what the binary cannot show.

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "cli/cancel_signal.h"
#include "cli/options.h"
#include "cli/run_tonvelo.h"
#include "cli/terminal_text.h"
#include "pipeline/conversion_thread.h"
#include "readers/pianocorder_source.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/midi_builder.h"

namespace tonvelo::test {
namespace {

using Strings = std::vector<std::string>;

class CommandTest : public AudioTest {
 protected:
  void SetUp() override {
    AudioTest::SetUp();
    ::umask(0);  // every file and folder usable by the unprivileged child
    fs::permissions(dir_, fs::perms::all);
  }
  // `notes` times one note of `ticks` (480 a quarter).
  void Midi(const std::string& name, int notes = 1, int ticks = 240, int key = 60) const {
    fs::create_directories(Path(name).parent_path());
    MidiBuilder midi(0, 480);
    TrackBuilder& track = midi.AddTrack();
    for (int i = 0; i < notes; ++i) track.NoteOn(0, 0, key, 100).NoteOff(ticks, 0, key);
    track.End();
    midi.Write(Path(name));
  }
  // `tonvelo ARGS` in the folder; stdout and stderr to files there unless ARGS
  // redirects them (fd 3: a pipe that nobody reads).
  pid_t Start(const std::string& args, rlim_t fileSize = RLIM_INFINITY) const {
    const std::string line = "exec '" TONVELO_CLI_PATH "' >stdout 2>stderr " + args;
    int fds[2] = {-1, -1};
    if (::pipe(fds) == 0) ::close(fds[0]);
    const pid_t pid = ::fork();
    if (pid != 0) ::close(fds[1]);
    if (pid != 0) return pid;
    const rlimit limit{fileSize, fileSize};
    if (::dup2(fds[1], 3) != 3 || ::chdir(dir_.c_str()) != 0 ||
        ::setrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        (::geteuid() == 0 && (::setgroups(0, nullptr) || ::setgid(65534) || ::setuid(65534)))) {
      ::_exit(120);
    }
    ::execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
    ::_exit(121);
  }
  static int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  std::string Text(const std::string& name) const {
    const Bytes b = ReadBytes(Path(name));
    return {b.begin(), b.end()};
  }
  // Runs to the end, expects the status and each text in stdout or stderr;
  // returns stderr.
  std::string Check(const std::string& args, int status, const Strings& said = {},
                    rlim_t fileSize = RLIM_INFINITY) const {
    EXPECT_EQ(Wait(Start(args, fileSize)), status) << args << "\n" << Text("stderr");
    const std::string all = Text("stdout") + Text("stderr");
    for (const std::string& text : said)
      EXPECT_NE(all.find(text), std::string::npos) << args << "\n" << all;
    return Text("stderr");
  }
  // Every name in the folder, or those that hold `part`, sorted.
  Strings Tree(const std::string& folder = "", const std::string& part = "") const {
    Strings names;
    for (const auto& e : fs::recursive_directory_iterator(Path(folder))) {
      const std::string name = fs::relative(e.path(), Path(folder)).string();
      if (name.find(part) != std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Outputs in the making, anywhere in the folder.
  size_t Hidden() const { return Tree("", kPartialOutputSuffix).size(); }
};

// Usage errors: status 64, one line on stderr, nothing converted; the format
// list (catalogue row order), help and version on stdout.
TEST_F(CommandTest, UsageErrorsAndTheTextsOnStdout) {
  Midi("song.mid");
  const auto usage = [](const std::string& error) {  // one pointer to more help only
    return "tonvelo: " + error + (error.back() == ')' ? "" : " (see tonvelo --help)") + "\n|";
  };
  const std::string format = "unknown format '", list = "' (see --list-formats)",
                    rate = "--rate must be 44100 or 48000, not '",
                    offset = "--sustain-offset must be a whole number from -200 to 200, not '";
  // clang-format off
  for (const auto& [args, status, printed] : std::vector<std::tuple<std::string, int, std::string>>{
    // command line                        status       stderr|stdout
    {"--format disklavier",                kExitUsage,  usage("no music file or folder given")},
    {"--bogus song.mid",                   kExitUsage,  usage("unknown option '--bogus'")},
    {"--format steinway song.mid",         kExitUsage,  usage(format + "steinway" + list)},
    {"--format 12 song.mid",               kExitUsage,  usage(format + "12" + list)},
    {"--format -1 song.mid",               kExitUsage,  usage(format + "-1" + list)},
    {"--format Spirio song.mid",           kExitUsage,  usage(format + "Spirio" + list)},
    {"--format '' song.mid",               kExitUsage,  usage(format + list)},
    {"--rate 44000 song.mid",              kExitUsage,  usage(rate + "44000'")},
    {"--rate +48000 song.mid",             kExitUsage,  usage(rate + "+48000'")},
    {"--velocity-profile half song.mid",   kExitUsage,  usage("--velocity-profile must be full or disklavier, not 'half'")},
    {"--sustain-offset 201 song.mid",      kExitUsage,  usage(offset + "201'")},
    {"--sustain-offset 1.5 song.mid",      kExitUsage,  usage(offset + "1.5'")},
    {"--output-dir= song.mid",             kExitUsage,  usage("--output-dir needs a folder")},
    {"song.mid --format",                  kExitUsage,  usage("option '--format' needs a value")},
    {"--prefix=1 song.mid",                kExitUsage,  usage("option '--prefix' takes no value")},
    {"verify --against",                   kExitUsage,  usage("option '--against' needs a value")},
    {"--help",                             0,           "|" + UsageText()},
    {"--version",                          0,           "|" + VersionText()},
    {"--list-formats",                     0,           "|"
      " 1  se                B\xC3\xB6sendorfer SE (Tape Mode)\n"
      "10  cc3a              IMI CC-3 Cassette Converter (Ampico A)\n"
      "11  cc3b              IMI CC-3 Cassette Converter (Ampico B)\n"
      " 0  lx                Live Performance LX\n"
      " 2  pianocorder       Marantz Pianocorder (normal speed, for direct streaming to Pianocorder)\n"
      " 3  pianocorder_half  Marantz Pianocorder (half speed, for recording to cassette tape)\n"
      " 4  pianodisc_sdp     PianoDisc Silent Drive Plus (post-2005; slightly more accurate timing)\n"
      " 5  pianodisc         PianoDisc Classic (pre-2005; more compatible with non-PianoDisc equipment)\n"
      " 6  pianomation1      QRS Pianomation 1 (1989-1991)\n"
      " 7  pianomation       QRS Pianomation MIDI / Baldwin ConcertMaster\n"
      " 9  spirio            Steinway Spirio (Silver)\n"
      " 8  disklavier        Yamaha Disklavier (PianoSoft Plus Audio)\n"},
  }) {
    // clang-format on
    const std::string err = Check(args, status);
    EXPECT_EQ(err + "|" + Text("stdout"), printed);
    EXPECT_EQ(Tree(), (Strings{"song.mid", "stderr", "stdout"})) << args;
  }
  EXPECT_NE(UsageText().find("tonvelo verify [--against SONG] TRACK...\n       tonvelo decode "
                             "[-o OUT.mid|OUT.pc] TRACK\n"),
            std::string::npos);
}

// Damaged, unreadable and unwritable files, a full disk, a closed or unread
// stderr, one job or two: the first failure's status, the failed files listed,
// no partial output left, the (read-only) sources untouched.
TEST_F(CommandTest, FailuresEndWithTheirStatusAndNeverTouchTheSources) {
  for (const char* name :
       {"in/a.mid", "in/caf\xE9.mid", "in/locked/b.mid", "in/own.mid", "song.mid", "locked.mid",
        "Rolls/a.mid", "Rolls/Sub/b.mid", "Rolls/.git/skip.mid"}) {
    Midi(name);  // caf\xE9: Latin-1, not UTF-8
  }
  WriteBytes(Path("in/own.wav"), BuildWav16(44100, 2, std::vector<int16_t>(400, 7)));
  WriteBytes(Path("in/a.wav"), BuildWav16(48000, 2, std::vector<int16_t>(400, 7)));
  WriteBytes(Path("in/a.mp3"), Bytes(300, 0xFF));
  WriteBytes(Path("in/damaged.mid"), Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0});
  WriteBytes(Path("in/text.mid"), Bytes(64, 'x'));
  WriteBytes(Path("notes.txt"), Bytes(64, 'x'));  // named files count whatever their extension
  for (const char* folder : {"out/locked.wav", "Empty", "ro"}) fs::create_directories(Path(folder));
  fs::permissions(Path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  std::map<fs::path, Bytes> sources;
  for (const auto& e : fs::recursive_directory_iterator(dir_)) {
    if (!e.is_regular_file()) continue;
    sources[e.path()] = ReadBytes(e.path());
    fs::permissions(e.path(),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  fs::permissions(Path("in/locked"), fs::perms::none);
  // Not a terminal: status lines, no progress bar; hidden folders left out.
  EXPECT_EQ(Check("--format disklavier --prefix --output-dir out Rolls", 0),
            "Conversion in progress\nConverting file 1 of 2\n" + Path("Rolls/a.mid").string() +
                "\nConverting file 2 of 2\n" + Path("Rolls/Sub/b.mid").string() +
                "\n2 converted, 0 failed, 0 skipped\n");
  EXPECT_EQ(Tree("out/Rolls"), (Strings{"Sub", "Sub/disklavier_b.wav", "disklavier_a.wav"}));
  const std::string locked =
      "warning: Folder \"" + Path("in/locked").string() +
      "\" could not be searched (Permission denied); its files are left out.";
  const std::string taken = "error: Couldn't create output file \"locked.wav\"";
  // clang-format off
  for (const auto& [args, status, said] : std::vector<std::tuple<std::string, int, Strings>>{
    {"--output-dir out in", 3, {locked, "/in/caf\\xE9.mid\n", "error: Unable to open file \"damaged.mid\"\n\n"
      "The file ends early", "error: \"text.mid\" is not a valid MIDI", "error: Accompaniment file \"a.wav\" "
      "does not match", "3 converted, 2 failed"}},
    {"in/own.mid in/a.mid", 2, {"would overwrite source accompaniment"}},
    {"--output-dir " + std::string(4200, 'd') + " in/a.mid", 4, {"error: Couldn't create output folder",
      "\n\nFile name too long\n"}},
    {"--output-dir ro in/a.mid", 4, {"error: Couldn't create output file \"a.wav\"\n\nPermission denied\n"}},
    {"--output-dir closed in/a.mid 2>&-", 0, {}},  // stderr closed
    {"--output-dir unread in/a.mid in/own.mid 2>&3", 0, {}},  // stderr unread
    {"Empty", kExitUsage, {"error: No supported files found in that location: \"Empty\"\n"}},
    {"--output-dir out song.mid notes.txt missing.mid locked.mid song.mid", 3, {taken, "error: Unable to "
      "open file \"missing.mid\"\n\nNo such file or directory\nConverting file 4 of 5\n", "2 converted, "
      "3 failed, 0 skipped\nfailed: notes.txt\nfailed: missing.mid\nfailed: locked.mid\n"}},
    {"--output-dir out song.mid", 0, {"1 converted, 0 failed, 0 skipped\n"}},
    {"--output-dir out locked.mid notes.txt", 4, {taken, "0 converted, 2 failed, 0 skipped\n"
      "failed: locked.mid\nfailed: notes.txt\n"}},
  }) {
    // clang-format on
    for (const std::string jobs : {" --jobs 1 ", " --jobs 2 "})
      Check("--format disklavier" + jobs + args, status, said);
  }
  Check("--format disklavier --output-dir full in/a.mid in/own.mid", 4,
        {"error: Error writing to output file \"a.wav\"\n\nFile too large\n"}, 50000);
  EXPECT_TRUE(fs::exists(Path("out/in/caf\xE9.wav")) && fs::exists(Path("out/song.wav")));
  // A closed or unread stderr stops nothing: the outputs are whole.
  for (const char* wav : {"closed/a.wav", "unread/a.wav", "unread/own.wav"}) {
    const Bytes b = ReadBytes(Path(wav));
    EXPECT_TRUE(b.size() > 44 && LE32(b, 4) + 8 == b.size()) << wav;
  }
  EXPECT_EQ(Hidden(), 0u);
  fs::permissions(Path("in/locked"), fs::perms::all);
  for (const auto& [path, bytes] : sources) EXPECT_EQ(ReadBytes(path), bytes) << path;
}

// Several files at once give the very outputs and messages, in list order, of
// one file after another; a file that ends the batch stops both alike.
TEST_F(CommandTest, ParallelJobsMatchOneAfterAnother) {
  std::string names;
  for (int k = 0; k < 6; ++k) {  // longest first, so that later files finish first
    Midi("m" + std::to_string(k) + ".mid", 1, 9600 - 1500 * k, 40 + 7 * k);
    names += " m" + std::to_string(k) + ".mid";
  }
  std::ofstream(Path("bad.mid")) << "MThd but not really";
  names += " bad.mid";
  for (const std::string format : {"disklavier --mp3", "pianodisc"}) {
    EXPECT_EQ(Check("--format " + format + " --output-dir o3 --jobs 3" + names, 3),
              Check("--format " + format + " --output-dir o1 --jobs 1" + names, 3,
                    {"6 converted, 1 failed, 0 skipped\nfailed: bad.mid\n"}));
    ASSERT_EQ(Tree("o3"), Tree("o1"));
    for (const std::string& f : Tree("o1")) EXPECT_EQ(Text("o3/" + f), Text("o1/" + f)) << f;
    for (const char* folder : {"o1", "o3"}) fs::remove_all(Path(folder));
  }
  // The accompaniment guard ends the batch at m1: later files leave nothing.
  std::ofstream(Path("m1.wav")) << "RIFF";
  for (const char* jobs : {"1", "4"}) {
    Check(std::string("--format pianodisc --jobs ") + jobs + names, 2,
          {"1 converted, 1 failed, 5 skipped\nfailed: m1.mid\n"});
    EXPECT_EQ(Tree(), (Strings{"bad.mid", "m0.mid", "m0.wav", "m1.mid", "m1.wav", "m2.mid",
                               "m3.mid", "m4.mid", "m5.mid", "stderr", "stdout"}));
    fs::remove(Path("m0.wav"));
  }
}

// Interrupt, terminate and hang-up mid-file cancel and keep the older output;
// kill -9 leaves a partial output that later runs ignore. A thousand files
// run to the end, and cancel between files.
TEST_F(CommandTest, SignalsCancelCleanlyAndLongBatchesRunToTheEnd) {
  Midi("in/long.mid", 1200);  // minutes of music: a signal lands mid-file
  Midi("in/short.mid");
  const Bytes old{'o', 'l', 'd'};
  for (const auto& [signal, jobs] :
       {std::pair{SIGINT, 1}, {SIGTERM, 2}, {SIGHUP, 2}, {SIGKILL, 1}}) {
    WriteBytes(Path("in/disklavier_long.wav"), old);
    const pid_t pid = Start("--format disklavier --prefix --jobs " + std::to_string(jobs) + " in");
    for (int i = 0; i < 2000 && Hidden() == 0; ++i) ::usleep(10000);
    ::kill(pid, signal);
    EXPECT_EQ(Wait(pid), signal == SIGKILL ? -SIGKILL : 2) << signal;
    EXPECT_EQ(ReadBytes(Path("in/disklavier_long.wav")), old) << signal;
    EXPECT_EQ(Hidden(), signal == SIGKILL ? 1u : 0u) << signal;
  }
  // Neither a source nor an accompaniment.
  EXPECT_EQ(Check("--format disklavier --prefix in", 0, {"2 converted, 0 failed, 0 skipped"})
                .find("ccompaniment"),
            std::string::npos);
  fs::remove_all(Path("in"));
  for (int i = 0; i < 1000; ++i) Midi("in/" + std::to_string(i) + ".mid");
  for (const std::string jobs : {"1", "3"}) {
    Check("--format disklavier --output-dir o" + jobs + " --jobs " + jobs + " in", 0,
          {"1000 converted, 0 failed, 0 skipped"});
  }
  const pid_t pid = Start("--format disklavier --output-dir cancelled --jobs 3 in");
  for (int i = 0; i < 20000 && !fs::exists(Path("cancelled/in/500.wav")); ++i) ::usleep(5000);
  ::kill(pid, SIGTERM);
  EXPECT_EQ(Wait(pid), 2);
  EXPECT_EQ(Hidden(), 0u);
}

// verify and decode on tracks through WAV, MP3 and FLAC; decode writes MIDI
// that mido reads, and a .pc file that converts back to the song; the FLAC
// track is the WAV track lossless, with the tags file as its comments.
TEST_F(CommandTest, VerifyDecodeAndFlacTracks) {
  MidiBuilder midi(0, 480);
  auto& t = midi.AddTrack().Tempo(0, 500000).Control(0, 0, 64, 127);
  for (int k = 0; k < 12; ++k) t.NoteOn(k ? 120 : 0, 0, 60 + k, 50 + 5 * k).NoteOff(120, 0, 60 + k);
  t.Control(0, 0, 64, 0).End();
  midi.Write(Path("song.mid"));
  std::vector<int16_t> music;
  for (int n = 0; n < 44100 * 2; ++n)
    music.insert(music.end(), {int16_t(n * 37 % 9000), int16_t(n * 53 % 7000)});
  WriteBytes(Path("music.wav"), BuildWav16(44100, 2, music));
  // Mapped frames only; a later DATE replaces an earlier one; a comment loses
  // its description; bytes that are not UTF-8 are read as Latin-1.
  std::ofstream(Path("song.tags.txt"))
      << "\xEF\xBB\xBFTIT2=F\xC3\xBCr Elise\r\nTPE1=\xE9t\xE9\nTALB=Album\nTRCK=3/12\nTYER=1810\n"
         "TDRC=1867\nTCON=Classical\nCOMM=eng=Late\nTFLT=MPG/3\nTXXX=a=b\nTALB\n";
  const std::string dk = "Yamaha Disklavier (PianoSoft Plus Audio) (id 8)";
  // clang-format off
  for (const auto& [args, status, said] : std::vector<std::tuple<std::string, int, Strings>>{
    {"--format disklavier --prefix song.mid", 0, {}}, {"--format pianomation --mp3 --prefix song.mid", 0, {}},
    {"convert --format disklavier --flac --output-dir f song.mid", 0, {}},
    {"--format cc3b --flac --prefix song.mid", 0, {}}, {"--format spirio --seed 1 --prefix song.mid", 0, {}},
    // Twins are named together; a signal starting on the first sample starts at 0.
    {"verify --against song.mid cc3b_song.flac spirio_song.wav", 0, {
      "(Ampico B) (id 10 or 11), 44100 Hz, data on the left channel\n  data from 0.000 s",
      "(Silver) (id 0 or 9), 44100 Hz, data on the right channel\n  data from 0.000 s"}},
    {"verify --against song.mid disklavier_song.wav pianomation_song.mp3", 0, {
      "disklavier_song.wav: " + dk + ", 44100 Hz, data on the right channel\n",
      "0 errors, 12 notes\n  against song.mid: agree, 26 of 26 notes and pedals",
      "(id 7), 44100 Hz, data on the left channel"}},
    {"verify music.wav disklavier_song.wav", 6, {"music.wav: 44100 Hz, no data signal\n"}},
    {"decode disklavier_song.wav", 0, {}},  // beside it, as .mid
    {"decode disklavier_song.wav", kExitUsage, {}},  // never over a file
    {"decode -o back.mid pianomation_song.mp3", 0, {}}, {"--format pianocorder --prefix song.mid", 0, {}},
    {"decode -o back.pc pianocorder_song.wav", 0, {"tonvelo: wrote back.pc: 163 frames, 0 errors"}},
    {"--format pianocorder --prefix back.pc", 0, {}},
    {"verify --against song.mid pianocorder_back.wav", 0, {"agree, 26 of 26 notes and pedals"}},
    {"decode -o no.pc disklavier_song.wav", 6, {"error: 'disklavier_song.wav' is not a Pianocorder "
      "track (it carries " + dk + "); only Pianocorder frames can be written as .pc\n"}},
  }) {
    // clang-format on
    Check(args, status, said);
    EXPECT_EQ(Text("stdout").find("differ"), std::string::npos);
  }
  EXPECT_TRUE(fs::exists(Path("disklavier_song.mid")) && !fs::exists(Path("no.pc")));
  PianocorderSource pc;
  ASSERT_EQ(LoadPianocorderSource(Path("back.pc"), pc), OpenResult::kOpened);
  EXPECT_EQ(std::tie(pc->speed, pc->frameCount), std::tuple(4500, 163u));
  std::string notes, comments;
  RunCommand("cd " + Quote(dir_) + " && /usr/bin/python3" +
                 " -c \"import mido\nt = mido.MidiFile('back.mid').tracks[0]\n"
                 "n = [(e.note, e.velocity) for e in t if e.type == 'note_on' and e.velocity]\n"
                 "print(len(n), n[0], n[-1], [e.value for e in t if e.is_cc(64)])\"",
             &notes);
  EXPECT_EQ(notes, "12 (60, 52) (71, 108) [127, 0]\n");  // 50 and 105: mid of their 4-bit codes
  if (!HaveTool("flac --version") || !HaveTool("metaflac --version")) GTEST_SKIP();
  const std::string flac = Quote(Path("f/song.flac"));
  EXPECT_EQ(RunCommand("flac -t -s " + flac), 0);
  RunCommand("flac -d -s --force-raw-format --endian=little --sign=signed -o " +
             Quote(Path("raw")) + " " + flac);
  const Bytes wav = ReadBytes(Path("disklavier_song.wav"));
  EXPECT_EQ(ReadBytes(Path("raw")), Bytes(wav.begin() + 44, wav.end()));
  RunCommand("metaflac --export-tags-to=- " + flac, &comments);
  EXPECT_EQ(comments,
            "TITLE=F\xC3\xBCr Elise\nARTIST=\xC3\xA9t\xC3\xA9\nALBUM=Album\nTRACKNUMBER=3/12\n"
            "DATE=1867\nGENRE=Classical\nCOMMENT=Late\n");
}

// In-process: no encoder for the format, or a batch cancelled before it starts.
TEST_F(CommandTest, RunTonveloWithoutEncoderOrCancelledBeforeStart) {
  Midi("song.mid");
  const auto run = [this](const Strings& args, int cancelled, const EncoderFactory& factory) {
    std::FILE* err = std::fopen(Path("err").c_str(), "w");
    const int status = RunTonvelo(args, CancelFlag{cancelled}, {stdout, err, false}, factory);
    std::fclose(err);
    return std::pair(status, Text("err"));
  };
  const std::string song = Path("song.mid").string();
  EXPECT_EQ(run({song}, 0, [](int, const EncoderOptions&) { return nullptr; }),
            std::pair(kExitUsage, std::string("tonvelo: format 'lx' is not available in this "
                                              "build (see tonvelo --help)\n")));
  EXPECT_EQ(
      run({"--format", "8", song, song}, 1, CreateEncoder),
      std::pair(2, std::string("Conversion in progress\n0 converted, 0 failed, 2 skipped\n")));
}

// Refused arguments and their texts are checked through the built command.
TEST(OptionsTest, MapsEveryOptionOntoTheSettings) {
  CliOptions o, d;
  std::string error;
  ASSERT_TRUE(ParseArguments(
      {"--format", "disklavier", "--mp3", "--prefix", "--output-dir=out", "--rate", "48000",
       "--velocity-profile", "disklavier", "--synth-pedaling", "--sustain-offset", "-200",
       "--diagnostic", "--discard", "a.mid", "--", "--b.mid"},
      o, error))
      << error;
  const ConversionSettings& s = o.settings;
  EXPECT_EQ(std::tie(s.outputFormat, s.audioFileType, s.prependFormatKey, s.outputPathMode,
                     s.velocityProfile, s.synthPropPedaling, s.sustainTimingOffset),
            std::make_tuple(8, 1, 1, 1, 1, 1, -200));
  EXPECT_EQ(std::tie(s.customOutputFolder, o.paths),
            std::tuple("out", Strings{"a.mid", "--b.mid"}));
  EXPECT_TRUE(s.SampleRateHz() == 48000u && o.diagnosticOutput && o.discardOutput);
  // Defaults: LX, WAV, beside the source, 44.1 kHz; the last of --mp3/--wav wins.
  ASSERT_TRUE(ParseArguments({"--mp3", "--wav", "x"}, d, error));
  const ConversionSettings& t = d.settings;
  EXPECT_EQ(std::tie(t.outputFormat, t.audioFileType, t.outputPathMode), std::tuple(0, 0, 0));
  EXPECT_EQ(t.SampleRateHz(), 44100u);
}

// Interrupt, terminate and hang-up are checked through the built command.
TEST(CancelSignalTest, HangUpIgnoredAtStartStaysIgnored) {
  CancelFlag flag{0};
  std::signal(SIGHUP, SIG_IGN);  // as under nohup
  InstallCancelSignals(flag, false);
  std::raise(SIGHUP);
  EXPECT_EQ(flag.load(), 0);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);  // the flag goes out of scope
}

TEST(TerminalTextTest, EscapesWhatIsNotTextAndKeepsWhatIs) {
  // clang-format off
  for (const auto& [raw, shown] : std::initializer_list<std::pair<const char*, const char*>>{
           {"caf\xE9.mid", "caf\\xE9.mid"},                                             // Latin-1
           {"Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx", "Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx"},  // UTF-8
           {"\x1B[2J\x7F", "\\x1B[2J\\x7F"},                                // terminal controls
           {"\xC2\x9B", "\\xC2\\x9B"},                                      // C1 control
           {"\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80"},           // overlong, surrogate
           {"\xF4\x90\x80\x80\xE6\x97", "\\xF4\\x90\\x80\\x80\\xE6\\x97"},  // past U+10FFFF, cut
       }) {
    // clang-format on
    EXPECT_EQ(EscapeForTerminal(raw), shown) << shown;
  }
}

}  // namespace
}  // namespace tonvelo::test
