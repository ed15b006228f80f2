// The `tonvelo` command: the built binary in a child process for what crosses
// the process boundary (exit status, streams, files, signals, permissions, a
// file-size limit); run as root, the child becomes "nobody" so that
// permissions hold for it. RunTonvelo in-process, and the option parser, for
// what the binary cannot be made to show.

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "cli/cancel_signal.h"
#include "cli/options.h"
#include "cli/run_tonvelo.h"
#include "cli/terminal_text.h"
#include "decoders/pianocorder_decoder.h"
#include "pipeline/conversion_thread.h"
#include "pipeline/track_check.h"
#include "readers/pianocorder_source.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/midi_builder.h"

namespace tonvelo::test {
namespace {

using Strings = std::vector<std::string>;
enum class Stderr { kFile, kClosed, kUnread };
struct Ran {
  int status;
  std::string out, err;
};

class CommandTest : public AudioTest {
 protected:
  void SetUp() override {
    AudioTest::SetUp();
    ::umask(0);  // every file and folder usable by the unprivileged child
    fs::permissions(dir_, fs::perms::all);
  }
  // `notes` times one note of `ticks` (480 a quarter at 120 BPM).
  void Midi(const std::string& name, uint32_t notes = 1, uint32_t ticks = 240,
            uint8_t note = 60) const {
    fs::create_directories(Path(name).parent_path());
    MidiBuilder midi(0, 480);
    TrackBuilder& track = midi.AddTrack();
    for (uint32_t i = 0; i < notes; ++i) track.NoteOn(0, 0, note, 100).NoteOff(ticks, 0, note);
    track.End();
    midi.Write(Path(name));
  }
  // Starts `tonvelo ARGS` in the folder; stdout and stderr go to files there.
  pid_t Start(const std::string& args, Stderr err = Stderr::kFile,
              rlim_t fileSize = RLIM_INFINITY) const {
    const std::string line = "exec '" TONVELO_CLI_PATH "' " + args;
    int pipeFds[2] = {-1, -1};
    if (err == Stderr::kUnread && ::pipe(pipeFds) == 0) ::close(pipeFds[0]);
    const pid_t pid = ::fork();
    if (pid != 0) {
      if (pipeFds[1] >= 0) ::close(pipeFds[1]);
      return pid;
    }
    if (::chdir(dir_.c_str()) != 0) ::_exit(120);
    ::dup2(::open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
    if (err == Stderr::kClosed) ::close(2);
    if (err != Stderr::kClosed)
      ::dup2(err == Stderr::kFile ? ::open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0666)
                                  : pipeFds[1],
             2);
    const rlimit limit{fileSize, fileSize};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(121);
    }
    ::execl("/bin/sh", "sh", "-c", line.c_str(), nullptr);
    ::_exit(122);
  }
  static int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  std::string Text(const std::string& name) const {
    const Bytes b = ReadBytes(Path(name));
    return std::string(b.begin(), b.end());
  }
  Ran Run(const std::string& args, Stderr err = Stderr::kFile,
          rlim_t fileSize = RLIM_INFINITY) const {
    const int status = Wait(Start(args, err, fileSize));
    return {status, Text("stdout"), Text("stderr")};
  }
  // Runs and expects the exit status and each text somewhere in the output.
  Ran Check(const std::string& args, int status, const Strings& said = {},
            Stderr err = Stderr::kFile, rlim_t fileSize = RLIM_INFINITY) const {
    Ran r = Run(args, err, fileSize);
    EXPECT_EQ(r.status, status) << args << "\n" << r.err;
    for (const std::string& text : said) {
      EXPECT_NE((r.out + r.err).find(text), std::string::npos) << args << "\n" << r.out << r.err;
    }
    return r;
  }
  Strings Tree(const std::string& folder = "") const {
    Strings names;
    for (const auto& e : fs::recursive_directory_iterator(
             Path(folder), fs::directory_options::skip_permission_denied)) {
      names.push_back(fs::relative(e.path(), Path(folder)).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Outputs in the making, anywhere under the folder.
  Strings Hidden() const {
    Strings found;
    for (const std::string& name : Tree()) {
      if (name.find(kPartialOutputSuffix) != std::string::npos) found.push_back(name);
    }
    return found;
  }
};

TEST_F(CommandTest, UsageErrorsExit64WithOneLineAndConvertNothing) {
  Midi("song.mid");
  const std::string format = "unknown format '", list = "' (see --list-formats)",
                    rate = "--rate must be 44100 or 48000, not '",
                    offset = "--sustain-offset must be a whole number from -200 to 200, not '";
  for (const auto& [args, error] : std::vector<std::pair<std::string, std::string>>{
           {"--format disklavier", "no music file or folder given"},
           {"--bogus song.mid", "unknown option '--bogus'"},
           {"--format steinway song.mid", format + "steinway" + list},
           {"--format 12 song.mid", format + "12" + list},
           {"--format -1 song.mid", format + "-1" + list},
           {"--format Spirio song.mid", format + "Spirio" + list},
           {"--format '' song.mid", format + list},
           {"--rate 44000 song.mid", rate + "44000'"},
           {"--rate +48000 song.mid", rate + "+48000'"},
           {"--velocity-profile half song.mid",
            "--velocity-profile must be full or disklavier, not 'half'"},
           {"--sustain-offset 201 song.mid", offset + "201'"},
           {"--sustain-offset 1.5 song.mid", offset + "1.5'"},
           {"--output-dir= song.mid", "--output-dir needs a folder"},
           {"song.mid --format", "option '--format' needs a value"},
           {"--prefix=1 song.mid", "option '--prefix' takes no value"},
           {"verify --against", "option '--against' needs a value"},
       }) {
    const Ran r = Run(args);
    const std::string hint = error.back() == ')' ? "" : " (see tonvelo --help)";  // one only
    EXPECT_EQ(std::tie(r.status, r.out, r.err),
              std::make_tuple(kExitUsage, std::string(), "tonvelo: " + error + hint + "\n"));
    EXPECT_EQ(Tree(), (Strings{"song.mid", "stderr", "stdout"})) << args;
  }
}

TEST_F(CommandTest, ListFormatsHelpAndVersionGoToStdout) {
  // Catalogue row order, not id order: id, key, display name.
  EXPECT_EQ(Check("--list-formats", 0).out + Text("stderr"),
            " 1  se                B\xC3\xB6sendorfer SE (Tape Mode)\n"
            "10  cc3a              IMI CC-3 Cassette Converter (Ampico A)\n"
            "11  cc3b              IMI CC-3 Cassette Converter (Ampico B)\n"
            " 0  lx                Live Performance LX\n"
            " 2  pianocorder       Marantz Pianocorder (normal speed, for direct streaming to "
            "Pianocorder)\n"
            " 3  pianocorder_half  Marantz Pianocorder (half speed, for recording to cassette "
            "tape)\n"
            " 4  pianodisc_sdp     PianoDisc Silent Drive Plus (post-2005; slightly more accurate "
            "timing)\n"
            " 5  pianodisc         PianoDisc Classic (pre-2005; more compatible with non-PianoDisc "
            "equipment)\n"
            " 6  pianomation1      QRS Pianomation 1 (1989-1991)\n"
            " 7  pianomation       QRS Pianomation MIDI / Baldwin ConcertMaster\n"
            " 9  spirio            Steinway Spirio (Silver)\n"
            " 8  disklavier        Yamaha Disklavier (PianoSoft Plus Audio)\n");
  EXPECT_EQ(Check("--help", 0, {"tonvelo verify [--against SONG] TRACK...\n",
                                "tonvelo decode [-o OUT.mid|OUT.pc] TRACK\n"})
                .out,
            UsageText());
  const Ran r = Check("--version", 0);
  EXPECT_EQ(r.out + r.err, VersionText());
}

// The same song as FLAC and as WAV: `flac -t` accepts the FLAC, it decodes to
// the WAV's samples exactly, and it carries the tags file as comments.
TEST_F(CommandTest, FlacTrackIsTheWavTrackLosslessWithComments) {
  if (!HaveTool("flac --version") || !HaveTool("metaflac --version")) GTEST_SKIP();
  Midi("song.mid");
  // Mapped frames only; a later DATE replaces an earlier one; a comment loses
  // its description; bytes that are not UTF-8 are read as Latin-1.
  std::ofstream(Path("song.tags.txt"))
      << "\xEF\xBB\xBFTIT2=F\xC3\xBCr Elise\r\nTPE1=\xE9t\xE9\nTALB=Album\nTRCK=3/12\nTYER=1810\n"
         "TDRC=1867\nTCON=Classical\nCOMM=eng=Late\nTFLT=MPG/3\nTXXX=a=b\nTALB\n";
  Check("convert --format disklavier --flac --output-dir f song.mid", 0);
  Check("--format disklavier --output-dir w song.mid", 0);
  const std::string flac = Quote(Path("f/song.flac")), raw = Quote(Path("song.raw"));
  EXPECT_EQ(RunCommand("flac -t -s " + flac), 0);
  ASSERT_EQ(RunCommand("flac -d -s --force-raw-format --endian=little --sign=signed -o " + raw +
                       " " + flac),
            0);
  const Bytes wav = ReadBytes(Path("w/song.wav"));
  EXPECT_EQ(ReadBytes(Path("song.raw")), Bytes(wav.begin() + 44, wav.end()));
  std::string tags;
  RunCommand("metaflac --export-tags-to=- " + flac, &tags);
  EXPECT_EQ(tags,
            "TITLE=F\xC3\xBCr Elise\nARTIST=\xC3\xA9t\xC3\xA9\nALBUM=Album\nTRACKNUMBER=3/12\n"
            "DATE=1867\nGENRE=Classical\nCOMMENT=Late\n");
}

// Not a terminal: status lines and the summary, no progress bar; hidden
// folders are left out, the tree is mirrored.
TEST_F(CommandTest, FolderBatchMirrorsIntoTheOutputFolder) {
  for (const char* name : {"Rolls/a.mid", "Rolls/Sub/b.mid", "Rolls/.git/skip.mid"}) Midi(name);
  const Ran r = Check("--format disklavier --prefix --output-dir out Rolls", 0);
  EXPECT_EQ(Tree("out"), (Strings{"Rolls", "Rolls/Sub", "Rolls/Sub/disklavier_b.wav",
                                  "Rolls/disklavier_a.wav"}));
  EXPECT_EQ(r.err, "Conversion in progress\nConverting file 1 of 2\n" + Path("Rolls/a.mid").string() +
                       "\nConverting file 2 of 2\n" + Path("Rolls/Sub/b.mid").string() +
                       "\n2 converted, 0 failed, 0 skipped\n");
}

// Several files at once give the very outputs and messages, in list order, of
// one file after another; a file that ends the batch stops both alike.
TEST_F(CommandTest, ParallelJobsMatchOneAfterAnother) {
  std::string names;
  for (uint32_t k = 0; k < 6; ++k) {  // longest first, so that later files finish first
    Midi("m" + std::to_string(k) + ".mid", 1, 9600 - 1500 * k, static_cast<uint8_t>(40 + 7 * k));
    names += " m" + std::to_string(k) + ".mid";
  }
  std::ofstream(Path("bad.mid")) << "MThd but not really";
  names += " bad.mid";
  for (const std::string format : {"disklavier --mp3", "pianodisc"}) {
    const std::string one = "6 converted, 1 failed, 0 skipped\nfailed: bad.mid\n";
    EXPECT_EQ(Check("--format " + format + " --output-dir o3 --jobs 3" + names, 3).err,
              Check("--format " + format + " --output-dir o1 --jobs 1" + names, 3, {one}).err);
    ASSERT_EQ(Tree("o3"), Tree("o1"));
    for (const std::string& f : Tree("o1")) EXPECT_EQ(Text("o3/" + f), Text("o1/" + f)) << f;
    fs::remove_all(Path("o1"));
    fs::remove_all(Path("o3"));
  }
  // The accompaniment guard ends the batch at m1: later files neither
  // convert nor leave anything behind.
  std::ofstream(Path("m1.wav")) << "RIFF";
  for (const char* jobs : {"1", "4"}) {
    Check(std::string("--format pianodisc --jobs ") + jobs + names, 2,
          {"1 converted, 1 failed, 5 skipped\nfailed: m1.mid\n"});
    EXPECT_TRUE(fs::exists(Path("m0.wav"))) << jobs;
    for (const char* later : {"m2.wav", "m3.wav", "m4.wav", "m5.wav"}) {
      EXPECT_FALSE(fs::exists(Path(later))) << jobs << later;
    }
    fs::remove(Path("m0.wav"));
  }
}

// Damaged, unreadable and unwritable files, a full disk, a closed or unread
// stderr, with one job and two: each run ends with the first failure's status
// and lists the failed files, leaves no partial output, and never touches the
// (read-only) sources.
TEST_F(CommandTest, FailuresEndWithTheirStatusAndNeverTouchTheSources) {
  for (const char* name : {"in/a.mid", "in/caf\xE9.mid", "in/locked/b.mid", "in/own.mid",
                           "song.mid", "locked.mid"}) {
    Midi(name);  // caf\xE9: Latin-1, not UTF-8
  }
  WriteBytes(Path("in/own.wav"), BuildWav16(44100, 2, std::vector<int16_t>(400, 7)));
  WriteBytes(Path("in/a.wav"), BuildWav16(48000, 2, std::vector<int16_t>(400, 7)));
  WriteBytes(Path("in/a.mp3"), Bytes(300, 0xFF));
  WriteBytes(Path("in/damaged.mid"), Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0});
  WriteBytes(Path("in/text.mid"), Bytes(64, 'x'));
  WriteBytes(Path("notes.txt"), Bytes(64, 'x'));  // named files count whatever their extension
  fs::create_directories(Path("out/locked.wav"));  // an output name taken by a folder
  fs::create_directories(Path("Empty"));
  fs::create_directories(Path("ro"));
  fs::permissions(Path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  std::map<fs::path, Bytes> sources;
  for (const auto& e : fs::recursive_directory_iterator(dir_)) {
    if (!e.is_regular_file()) continue;
    sources[e.path()] = ReadBytes(e.path());
    fs::permissions(e.path(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  fs::permissions(Path("in/locked"), fs::perms::none);
  const std::string locked = "warning: Folder \"" + Path("in/locked").string() +
                             "\" could not be searched (Permission denied); its files are left out.";
  const std::string taken = "error: Couldn't create output file \"locked.wav\"";
  struct Case {
    std::string args;
    int status;
    Strings said;
    Stderr err = Stderr::kFile;
    rlim_t fileSize = RLIM_INFINITY;
  };
  // clang-format off
  for (const Case& c : std::vector<Case>{
    {"--output-dir out in", 3, {locked, "/in/caf\\xE9.mid\n",
      "error: Unable to open file \"damaged.mid\"\n\nThe file ends early", "error: \"text.mid\" is not a valid MIDI",
      "error: Accompaniment file \"a.wav\" does not match", "3 converted, 2 failed"}},
    {"in/own.mid in/a.mid", 2, {"would overwrite source accompaniment"}},
    {"--output-dir " + std::string(4200, 'd') + " in/a.mid", 4, {"error: Couldn't create output folder", "\n\nFile name too long\n"}},
    {"--output-dir ro in/a.mid", 4, {"error: Couldn't create output file \"a.wav\"\n\nPermission denied\n"}},
    {"--output-dir full in/a.mid in/own.mid", 4, {"error: Error writing to output file \"a.wav\"\n\nFile too large\n"}, Stderr::kFile, 50000},
    {"--output-dir closed in/a.mid", 0, {}, Stderr::kClosed},
    {"--output-dir unread in/a.mid in/own.mid", 0, {}, Stderr::kUnread},
    {"Empty", kExitUsage, {"error: No supported files found in that location: \"Empty\"\n"}},
    {"--output-dir out song.mid notes.txt missing.mid locked.mid song.mid", 3, {taken,
      "error: Unable to open file \"missing.mid\"\n\nNo such file or directory\nConverting file 4 of 5\n",
      "2 converted, 3 failed, 0 skipped\nfailed: notes.txt\nfailed: missing.mid\nfailed: locked.mid\n"}},
    {"--output-dir out locked.mid notes.txt", 4, {taken, "0 converted, 2 failed, 0 skipped\nfailed: locked.mid\nfailed: notes.txt\n"}},
    {"--output-dir out song.mid", 0, {"1 converted, 0 failed, 0 skipped\n"}},
  }) {
    // clang-format on
    for (const char* jobs : {" --jobs 1 ", " --jobs 2 "}) {
      Check("--format disklavier" + (jobs + c.args), c.status, c.said, c.err, c.fileSize);
    }
  }
  EXPECT_TRUE(fs::exists(Path("out/in/caf\xE9.wav")) && fs::exists(Path("out/song.wav")));
  // A closed or unread stderr stops nothing: the outputs are whole.
  for (const char* wav : {"closed/a.wav", "unread/a.wav", "unread/own.wav"}) {
    const Bytes b = ReadBytes(Path(wav));
    EXPECT_TRUE(b.size() > 44 && LE32(b, 4) + 8 == b.size()) << wav;
  }
  EXPECT_EQ(Hidden(), Strings{});
  fs::permissions(Path("in/locked"), fs::perms::all);
  for (const auto& [path, bytes] : sources) EXPECT_EQ(ReadBytes(path), bytes) << path;
}

// Interrupt, terminate and hang-up mid-file cancel and keep the older output;
// kill -9 leaves its partial output, which a later run takes neither for a
// source nor for an accompaniment.
TEST_F(CommandTest, SignalsCancelCleanlyAndKillNineLeavesTheOlderOutput) {
  Midi("in/long.mid", 1200);  // minutes of music: a signal lands mid-file
  Midi("in/short.mid");
  const Bytes old{'o', 'l', 'd'};
  for (const auto& [signal, jobs] : {std::pair{SIGINT, 1}, {SIGTERM, 2}, {SIGHUP, 2}, {SIGKILL, 1}}) {
    WriteBytes(Path("in/disklavier_long.wav"), old);
    const pid_t pid = Start("--format disklavier --prefix --jobs " + std::to_string(jobs) + " in");
    for (int i = 0; i < 2000 && Hidden().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, signal);
    EXPECT_EQ(Wait(pid), signal == SIGKILL ? -SIGKILL : 2) << signal;
    EXPECT_EQ(ReadBytes(Path("in/disklavier_long.wav")), old) << signal;
    EXPECT_EQ(Hidden().size(), signal == SIGKILL ? 1u : 0u) << signal;
  }
  EXPECT_EQ(Check("--format disklavier --prefix in", 0, {"2 converted, 0 failed, 0 skipped"})
                .err.find("ccompaniment"),
            std::string::npos);
}

TEST_F(CommandTest, ThousandFilesRunToTheEndAndCancelAnywhere) {
  for (int i = 0; i < 1000; ++i) Midi("in/" + std::to_string(i) + ".mid");
  for (const std::string jobs : {"1", "3"}) {
    Check("--format disklavier --output-dir o" + jobs + " --jobs " + jobs + " in", 0,
          {"1000 converted, 0 failed, 0 skipped"});
  }
  const pid_t pid = Start("--format disklavier --output-dir cancelled --jobs 3 in");
  for (int i = 0; i < 20000 && !fs::exists(Path("cancelled/in/500.wav")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(Wait(pid), 2);
  EXPECT_EQ(Hidden(), Strings{});
}

// verify and decode: tracks of four formats (through WAV, MP3 and FLAC) are
// reported and compared; decode writes MIDI that mido reads, and a Pianocorder
// track's frames as a .pc file; a music-only track has no data signal.
TEST_F(CommandTest, VerifyReportsComparesAndDecodes) {
  MidiBuilder midi(0, 480);
  auto& t = midi.AddTrack().Tempo(0, 500000).Control(0, 0, 64, 127);
  for (int k = 0; k < 12; ++k) t.NoteOn(k ? 120 : 0, 0, 60 + k, 50 + 5 * k).NoteOff(120, 0, 60 + k);
  t.Control(0, 0, 64, 0).End();
  midi.Write(Path("song.mid"));
  std::vector<int16_t> music;
  for (int n = 0; n < 44100 * 2; ++n)
    music.insert(music.end(), {int16_t(n * 37 % 9000), int16_t(n * 53 % 7000)});
  WriteBytes(Path("music.wav"), BuildWav16(44100, 2, music));
  for (const std::string format :
       {"disklavier", "pianomation --mp3", "cc3b --flac", "spirio --seed 1", "pianocorder"}) {
    ASSERT_EQ(Check("--prefix song.mid --format " + format, 0).status, 0);
  }
  const std::string dk = "Yamaha Disklavier (PianoSoft Plus Audio) (id 8)";
  // clang-format off
  for (const auto& [args, status, said] : std::vector<std::tuple<std::string, int, Strings>>{
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
    {"decode -o back.mid pianomation_song.mp3", 0, {}},
    {"decode -o back.pc pianocorder_song.wav", 0, {}},
    {"decode -o no.pc disklavier_song.wav", 6, {"error: 'disklavier_song.wav' is not a Pianocorder "
      "track (it carries " + dk + "); only Pianocorder frames can be written as .pc\n"}},
  }) {
    // clang-format on
    EXPECT_EQ(Check(args, status, said).out.find("differ"), std::string::npos);
  }
  EXPECT_TRUE(fs::exists(Path("disklavier_song.mid")) && !fs::exists(Path("no.pc")));
  std::string out;
  ASSERT_EQ(RunCommand("cd " + Quote(dir_) + " && " + Python() +
                           " -c \"import mido\n"
                           "m = mido.MidiFile('back.mid').tracks[0]\n"
                           "n = [(e.note, e.velocity) for e in m if e.type == 'note_on' and "
                           "e.velocity]\n"
                           "p = [e.value for e in m if e.type == 'control_change' and "
                           "e.control == 64]\n"
                           "print(len(n), n[0], n[-1], p)\"",
                       &out),
            0);
  EXPECT_EQ(out, "12 (60, 52) (71, 108) [127, 0]\n");  // 50 and 105: mid of their 4-bit codes
  // The .pc file holds the frames the decoder reads from the track.
  TrackAudio audio;
  std::string error;
  ASSERT_TRUE(LoadTrack(Path("pianocorder_song.wav"), audio, error)) << error;
  DecodedFrames frames;
  (void)DecodePianocorder(audio.right.data(), audio.right.size(), audio.sampleRateHz, &frames);
  Bytes decoded;
  for (const auto& f : frames.frames) decoded.insert(decoded.end(), f.bytes, f.bytes + 16);
  PianocorderSource pc;
  ASSERT_EQ(LoadPianocorderSource(Path("back.pc"), pc), OpenResult::kOpened);
  EXPECT_EQ(std::tie(pc->speed, pc->frames), std::make_tuple(uint16_t{4500}, decoded));
  EXPECT_GT(decoded.size(), 1600u);
}

// In-process: no encoder for the format, or a batch cancelled before it starts.
TEST_F(CommandTest, RunTonveloWithoutEncoderOrCancelledBeforeStart) {
  Midi("song.mid");
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_);
  const auto run = [](const Strings& args, int cancelled, const EncoderFactory& factory) {
    std::FILE* err = std::tmpfile();
    const CancelFlag cancel{cancelled};
    const int status = RunTonvelo(args, cancel, {stdout, err, false}, factory);
    std::string text(static_cast<size_t>(std::ftell(err)), '\0');
    std::rewind(err);
    text.resize(std::fread(text.data(), 1, text.size(), err));
    std::fclose(err);
    return std::pair(status, text);
  };
  EXPECT_EQ(run({"song.mid"}, 0, [](int, const EncoderOptions&) { return nullptr; }),
            std::pair(kExitUsage, std::string("tonvelo: format 'lx' is not available in this "
                                              "build (see tonvelo --help)\n")));
  EXPECT_EQ(run({"--format", "8", "song.mid", "song.mid"}, 1, CreateEncoder),
            std::pair(2, std::string("Conversion in progress\n0 converted, 0 failed, 2 skipped\n")));
  fs::current_path(cwd);
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
  EXPECT_EQ(std::tie(s.customOutputFolder, o.paths), std::make_tuple("out", Strings{"a.mid", "--b.mid"}));
  EXPECT_TRUE(s.SampleRateHz() == 48000u && o.diagnosticOutput && o.discardOutput);
  // Defaults: LX, WAV, beside the source, 44.1 kHz; the last of --mp3/--wav wins.
  ASSERT_TRUE(ParseArguments({"--mp3", "--wav", "x"}, d, error));
  EXPECT_EQ(std::tie(d.settings.outputFormat, d.settings.audioFileType, d.settings.outputPathMode),
            std::make_tuple(0, 0, 0));
  EXPECT_EQ(d.settings.SampleRateHz(), 44100u);
  int key = -1, id = -1;  // a format is named by its key or its id
  EXPECT_TRUE(ParseFormat("spirio", key) && ParseFormat("9", id) && key == 9 && id == 9);
}

TEST(CancelSignalTest, InterruptTerminateAndHangUpSetTheFlagUnlessIgnoredAtStart) {
  for (const auto& [signal, ignored] :
       {std::pair{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}}) {
    CancelFlag flag{0};
    if (ignored) std::signal(signal, SIG_IGN);  // as under nohup
    InstallCancelSignals(flag, false);
    std::raise(signal);
    EXPECT_EQ(flag.load(), ignored ? 0 : 1) << signal;
    // The flag goes out of scope: no handler may keep pointing at it.
    for (int s : {SIGINT, SIGTERM, SIGHUP}) std::signal(s, SIG_DFL);
  }
}

TEST(TerminalTextTest, EscapesWhatIsNotTextAndKeepsWhatIs) {
  for (const auto& [raw, shown] : std::initializer_list<std::pair<const char*, const char*>>{
           {"caf\xE9.mid", "caf\\xE9.mid"},                                 // Latin-1
           {"Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx", "Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx"},  // UTF-8
           {"\x1B[2J\x7F", "\\x1B[2J\\x7F"},                                // terminal controls
           {"\xC2\x9B", "\\xC2\\x9B"},                                      // C1 control
           {"\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80"},           // overlong, surrogate
           {"\xF4\x90\x80\x80\xE6\x97", "\\xF4\\x90\\x80\\x80\\xE6\\x97"},  // past U+10FFFF, cut
       }) {
    EXPECT_EQ(EscapeForTerminal(raw), shown) << shown;
  }
}

}  // namespace
}  // namespace tonvelo::test
