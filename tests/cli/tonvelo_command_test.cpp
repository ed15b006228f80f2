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
  // redirects them (fd 3: a pipe that nobody reads); files of at most `blocks`.
  pid_t Start(const std::string& args, const std::string& blocks = "unlimited") const {
    const std::string line =
        "ulimit -f " + blocks + " && exec '" TONVELO_CLI_PATH "' >stdout 2>stderr " + args;
    int fds[2] = {-1, -1};
    if (::pipe(fds) == 0) ::close(fds[0]);
    const pid_t pid = ::fork();
    if (pid != 0) ::close(fds[1]);
    if (pid != 0) return pid;
    if (::dup2(fds[1], 3) != 3 || ::chdir(dir_.c_str()) != 0 ||
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
  // Runs to the end, expects the status and each text in stdout or stderr.
  std::string Check(const std::string& args, int status, const Strings& said = {},
                    const std::string& blocks = "unlimited") const {
    EXPECT_EQ(Wait(Start(args, blocks)), status) << args << "\n" << Text("stderr");
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
  const std::string format = "unknown format '", list = "' (see --list-formats)";
  // clang-format off
  for (const auto& [args, printed] : std::vector<std::pair<std::string, std::string>>{
    {"--format disklavier", usage("no music file or folder given")},
    {"--bogus song.mid", usage("unknown option '--bogus'")},
    {"--format steinway song.mid", usage(format + "steinway" + list)},  // a key
    {"--format 12 song.mid", usage(format + "12" + list)},              // an id
    {"--rate 44000 song.mid", usage("--rate must be 44100 or 48000, not '44000'")},
    {"--velocity-profile half song.mid",
      usage("--velocity-profile must be full or disklavier, not 'half'")},
    {"--sustain-offset 201 song.mid",
      usage("--sustain-offset must be a whole number from -200 to 200, not '201'")},
    {"--output-dir= song.mid", usage("--output-dir needs a folder")},
    {"song.mid --format", usage("option '--format' needs a value")},
    {"--prefix=1 song.mid", usage("option '--prefix' takes no value")},
    {"verify --against", usage("option '--against' needs a value")},
    {"--help", "|" + UsageText()},
    {"--version", "|" + VersionText()},
    {"--list-formats", "|"
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
    const std::string err = Check(args, printed[0] == '|' ? 0 : kExitUsage);
    EXPECT_EQ(err + "|" + Text("stdout"), printed);
    EXPECT_EQ(Tree(), (Strings{"song.mid", "stderr", "stdout"})) << args;
  }
}

// Hostile files, folders, disks and streams, one job or two: the first failure's
// status, the failed files listed, no partial output, the sources untouched.
TEST_F(CommandTest, FailuresEndWithTheirStatusAndNeverTouchTheSources) {
  for (const char* name : {"in/a.mid", "in/caf\xE9.mid", "in/locked/b.mid", "in/own.mid",
                           "song.mid", "locked.mid", "Rolls/a.mid", "Rolls/Sub/b.mid"})
    Midi(name);  // caf\xE9: Latin-1, not UTF-8
  WriteBytes(Path("in/own.wav"), BuildWav16(44100, 2, std::vector<int16_t>(400, 7)));
  WriteBytes(Path("in/text.mid"), Bytes(64, 'x'));
  WriteBytes(Path("notes.txt"), Bytes(64, 'x'));  // named files count whatever their extension
  for (const char* folder : {"out/locked.wav", "Empty"}) fs::create_directories(Path(folder));
  std::map<fs::path, Bytes> sources;
  for (const auto& e : fs::recursive_directory_iterator(dir_)) {
    if (!e.is_regular_file()) continue;
    sources[e.path()] = ReadBytes(e.path());
    fs::permissions(e.path(), fs::perms{0444});
  }
  fs::permissions(Path("in/locked"), fs::perms::none);
  const std::string taken = "error: Couldn't create output file \"locked.wav\"";
  // clang-format off
  for (const auto& [args, status, said] : std::vector<std::tuple<std::string, int, Strings>>{
    // Not a terminal: status lines, no progress bar.
    {"--output-dir out Rolls", 0, {"Conversion in progress\nConverting file 1 of 2\n" +
      Path("Rolls/a.mid").string() + "\nConverting file 2 of 2\n" + Path("Rolls/Sub/b.mid").string() +
      "\n2 converted, 0 failed, 0 skipped\n"}},
    {"--output-dir out in", 3, {"warning: Folder \"" + Path("in/locked").string() + "\" could not be "
      "searched (Permission denied); its files are left out.", "/in/caf\\xE9.mid\n",
      "error: \"text.mid\" is not a valid MIDI", "3 converted, 1 failed"}},
    {"--output-dir closed in/a.mid 2>&-", 0, {}},  // stderr closed
    {"--output-dir unread in/a.mid in/own.mid 2>&3", 0, {}},  // stderr unread
    {"Empty", kExitUsage, {"error: No supported files found in that location: \"Empty\"\n"}},
    {"--output-dir out song.mid notes.txt missing.mid locked.mid song.mid", 3, {taken, "error: Unable to "
      "open file \"missing.mid\"\n\nNo such file or directory\nConverting file 4 of 5\n", "2 converted, "
      "3 failed, 0 skipped\nfailed: notes.txt\nfailed: missing.mid\nfailed: locked.mid\n"}},
    {"--output-dir out locked.mid notes.txt", 4, {taken, "0 converted, 2 failed, 0 skipped\n"
      "failed: locked.mid\nfailed: notes.txt\n"}},
  }) {
    // clang-format on
    for (const std::string jobs : {" --jobs 1 ", " --jobs 2 "})
      Check("--format disklavier" + jobs + args, status, said);
  }
  Check("--format disklavier --output-dir full in/a.mid in/own.mid", 4,
        {"error: Error writing to output file \"a.wav\"\n\nFile too large\n"}, "97");
  EXPECT_TRUE(fs::exists(Path("out/in/caf\xE9.wav")) && fs::exists(Path("out/Rolls/Sub/b.wav")));
  const Bytes closed = ReadBytes(Path("closed/a.wav"));  // no message went into the audio
  EXPECT_TRUE(closed.size() > 44 && LE32(closed, 4) + 8 == closed.size());
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
// kill -9 leaves a partial output.
TEST_F(CommandTest, SignalsCancelCleanly) {
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
}

// verify and decode through WAV, MP3 and FLAC tracks; a decoded .pc file converts
// back to the song; the tags file becomes the FLAC comments.
TEST_F(CommandTest, VerifyDecodeAndFlacTracks) {
  MidiBuilder midi(0, 480);
  auto& t = midi.AddTrack().Tempo(0, 500000).Control(0, 0, 64, 127);
  for (int k = 0; k < 12; ++k) t.NoteOn(k ? 120 : 0, 0, 60 + k, 50 + 5 * k).NoteOff(120, 0, 60 + k);
  t.Control(0, 0, 64, 0).End();
  midi.Write(Path("song.mid"));
  std::vector<int16_t> music(44100 * 4);
  for (size_t n = 0; n < music.size(); ++n) music[n] = int16_t(n * 37 % 9000);
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
    {"convert --format cc3b --flac --prefix song.mid", 0, {}}, {"--format spirio --seed 1 --prefix song.mid", 0, {}},
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
    {"decode -o back.mid pianomation_song.mp3", 0, {"tonvelo: wrote back.mid: 12 notes, 0 errors"}},
    {"--format pianocorder --prefix song.mid", 0, {}},
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
  EXPECT_FALSE(fs::exists(Path("no.pc")));
  if (!HaveTool("metaflac --version")) GTEST_SKIP();
  std::string comments;
  RunCommand("metaflac --export-tags-to=- " + Quote(Path("cc3b_song.flac")), &comments);
  EXPECT_EQ(comments,
            "TITLE=F\xC3\xBCr Elise\nARTIST=\xC3\xA9t\xC3\xA9\nALBUM=Album\nTRACKNUMBER=3/12\n"
            "DATE=1867\nGENRE=Classical\nCOMMENT=Late\n");
}

// In-process: no encoder for the format.
TEST_F(CommandTest, RunTonveloWithoutEncoder) {
  std::FILE* err = std::fopen(Path("err").c_str(), "w");
  EXPECT_EQ(RunTonvelo({"song.mid"}, CancelFlag{0}, {stdout, err, false},
                       [](int, const EncoderOptions&) { return nullptr; }),
            kExitUsage);
  std::fclose(err);
  EXPECT_EQ(Text("err"),
            "tonvelo: format 'lx' is not available in this build (see tonvelo --help)\n");
}

// The settings of options no test of the built command gives.
TEST(OptionsTest, MapsOptionsOntoTheSettings) {
  CliOptions o;
  std::string error;
  ASSERT_TRUE(
      ParseArguments({"--mp3", "--wav", "--rate", "48000", "--velocity-profile", "disklavier",
                      "--synth-pedaling", "--sustain-offset=-200", "a.mid", "--", "--b.mid"},
                     o, error))
      << error;
  const ConversionSettings& s = o.settings;  // the last of --mp3/--wav wins
  EXPECT_EQ(std::tie(s.audioFileType, s.velocityProfile, s.synthPropPedaling, s.sustainTimingOffset,
                     o.paths),
            std::tuple(0, 1, 1, -200, Strings{"a.mid", "--b.mid"}));
  EXPECT_EQ(s.SampleRateHz(), 48000u);
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
  // Latin-1, controls; UTF-8; C1, overlong, surrogate, past U+10FFFF, cut off.
  for (const auto& [raw, shown] : std::initializer_list<std::pair<const char*, const char*>>{
           {"caf\xE9\x1B[2J\x7F", "caf\\xE9\\x1B[2J\\x7F"},
           {"Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx", "Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx"},
           {"\xC2\x9B\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xE6\x97",
            "\\xC2\\x9B\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xE6\\x97"}}) {
    EXPECT_EQ(EscapeForTerminal(raw), shown) << shown;
  }
}

}  // namespace
}  // namespace tonvelo::test
