// The `tonvelo` command: the built binary for what crosses the process
// boundary (exit status, streams, files), RunTonvelo in-process where a fake
// encoder is needed.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include "cli/options.h"
#include "cli/run_tonvelo.h"
#include "tests/support/midi_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    names.push_back(fs::relative(e.path(), root).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = fs::temp_directory_path() /
            ("tonvelo_cli_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(base_);
    work_ = base_ / "work";
    fs::create_directories(work_);
  }
  void TearDown() override { fs::remove_all(base_); }

  void WriteMidi(const std::string& relative, uint8_t note = 60, uint32_t ticks = 240) const {
    fs::create_directories((work_ / relative).parent_path());
    test::MidiBuilder midi(0, 480);
    midi.AddTrack().NoteOn(0, 0, note, 100).NoteOff(ticks, 0, note).End();
    midi.Write(work_ / relative);
  }

  // Runs one command line inside the work folder.
  Outcome Shell(const std::string& command) const {
    const fs::path out = base_ / "stdout", err = base_ / "stderr";
    const std::string line = "cd '" + work_.string() + "' && " + command + " >'" + out.string() +
                             "' 2>'" + err.string() + "'";
    const int raw = std::system(line.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = Slurp(out);
    o.err = Slurp(err);
    return o;
  }
  // Runs the built binary.
  Outcome Command(const std::string& args) const { return Shell("'" TONVELO_CLI_PATH "' " + args); }

  fs::path base_, work_;
};

TEST_F(CommandTest, UsageErrorsExit64WithOneLineAndConvertNothing) {
  WriteMidi("song.mid");
  struct Case {
    const char* args;
    std::string error;
  };
  const std::string unknown = "unknown format '";
  const std::string rate = "--rate must be 44100 or 48000, not '";
  const std::string offset = "--sustain-offset must be a whole number from -200 to 200, not '";
  for (const Case& c : {
           Case{"", "no music file or folder given"},
           Case{"--bogus song.mid", "unknown option '--bogus'"},
           Case{"--format steinway song.mid", unknown + "steinway' (see --list-formats)"},
           Case{"--format 12 song.mid", unknown + "12' (see --list-formats)"},
           Case{"--format -1 song.mid", unknown + "-1' (see --list-formats)"},
           Case{"--format Spirio song.mid", unknown + "Spirio' (see --list-formats)"},
           Case{"--format '' song.mid", unknown + "' (see --list-formats)"},
           Case{"--rate 44000 song.mid", rate + "44000'"},
           Case{"--rate +48000 song.mid", rate + "+48000'"},
           Case{"--velocity-profile half song.mid",
                "--velocity-profile must be full or disklavier, not 'half'"},
           Case{"--sustain-offset 201 song.mid", offset + "201'"},
           Case{"--sustain-offset 1.5 song.mid", offset + "1.5'"},
           Case{"--output-dir= song.mid", "--output-dir needs a folder"},
           Case{"song.mid --format", "option '--format' needs a value"},
           Case{"--prefix=1 song.mid", "option '--prefix' takes no value"},
       }) {
    const Outcome o = Command(std::string("--format disklavier ") + c.args);
    EXPECT_EQ(o.status, kExitUsage) << c.args;
    const bool hinted = c.error.back() == ')';  // one pointer only
    EXPECT_EQ(o.err, "tonvelo: " + c.error + (hinted ? "" : " (see tonvelo --help)") + "\n");
    EXPECT_TRUE(o.out.empty());
    EXPECT_EQ(Tree(work_), std::vector<std::string>{"song.mid"}) << c.args;
  }
}

TEST_F(CommandTest, ListFormatsAndHelpGoToStdout) {
  Outcome o = Command("--list-formats");
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.err.empty());
  // Catalogue row order, not id order: id, key, display name.
  EXPECT_EQ(
      o.out,
      " 1  se                B\xC3\xB6sendorfer SE (Tape Mode)\n"
      "10  cc3a              IMI CC-3 Cassette Converter (Ampico A)\n"
      "11  cc3b              IMI CC-3 Cassette Converter (Ampico B)\n"
      " 0  lx                Live Performance LX\n"
      " 2  pianocorder       Marantz Pianocorder (normal speed, for direct streaming to "
      "Pianocorder)\n"
      " 3  pianocorder_half  Marantz Pianocorder (half speed, for recording to cassette tape)\n"
      " 4  pianodisc_sdp     PianoDisc Silent Drive Plus (post-2005; slightly more accurate "
      "timing)\n"
      " 5  pianodisc         PianoDisc Classic (pre-2005; more compatible with non-PianoDisc "
      "equipment)\n"
      " 6  pianomation1      QRS Pianomation 1 (1989-1991)\n"
      " 7  pianomation       QRS Pianomation MIDI / Baldwin ConcertMaster\n"
      " 9  spirio            Steinway Spirio (Silver)\n"
      " 8  disklavier        Yamaha Disklavier (PianoSoft Plus Audio)\n");
  o = Command("--help");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, UsageText());
  EXPECT_NE(o.out.find("tonvelo verify [--against SONG] TRACK...\n"), std::string::npos);
  EXPECT_NE(o.out.find("tonvelo decode [-o OUT.mid|OUT.pc] TRACK\n"), std::string::npos);
  o = Command("--version");
  EXPECT_EQ(std::tie(o.status, o.out, o.err), std::make_tuple(0, VersionText(), std::string()));
}

// The same song as FLAC and as WAV: `flac -t` accepts the FLAC, it decodes
// to the WAV's samples exactly, and it carries the tags file as comments.
TEST_F(CommandTest, FlacTrackIsTheWavTrackLosslessWithComments) {
  if (Shell("flac --version >/dev/null && metaflac --version").status != 0) {
    GTEST_SKIP() << "flac not installed";
  }
  WriteMidi("song.mid");
  // Mapped frames only; a later DATE replaces an earlier one; a comment loses
  // its description; bytes that are not UTF-8 are read as Latin-1.
  std::ofstream(work_ / "song.tags.txt")
      << "\xEF\xBB\xBFTIT2=F\xC3\xBCr Elise\r\nTPE1=\xE9t\xE9\nTALB=Album\nTRCK=3/12\nTYER=1810\n"
         "TDRC=1867\nTCON=Classical\nCOMM=eng=Late\nTFLT=MPG/3\nTXXX=a=b\nTALB\n";
  ASSERT_EQ(Command("convert --format disklavier --flac --output-dir f song.mid").status, 0);
  ASSERT_EQ(Command("--format disklavier --output-dir w song.mid").status, 0);
  EXPECT_EQ(Shell("flac -t -s f/song.flac").status, 0);
  ASSERT_EQ(Shell("flac -d -s --force-raw-format --endian=little --sign=signed -o f/song.raw "
                  "f/song.flac")
                .status,
            0);
  EXPECT_EQ(Slurp(work_ / "f/song.raw"), Slurp(work_ / "w/song.wav").substr(44));
  EXPECT_EQ(Shell("metaflac --export-tags-to=- f/song.flac").out,
            "TITLE=F\xC3\xBCr Elise\nARTIST=\xC3\xA9t\xC3\xA9\nALBUM=Album\nTRACKNUMBER=3/12\n"
            "DATE=1867\nGENRE=Classical\nCOMMENT=Late\n");
}

TEST_F(CommandTest, FolderBatchMirrorsIntoTheOutputFolder) {
  WriteMidi("Rolls/a.mid");
  WriteMidi("Rolls/Sub/b.mid");
  WriteMidi("Rolls/.git/skip.mid");
  const Outcome o = Command("--format disklavier --prefix --output-dir out Rolls");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Tree(work_ / "out"),
            (std::vector<std::string>{"Rolls", "Rolls/Sub", "Rolls/Sub/disklavier_b.wav",
                                      "Rolls/disklavier_a.wav"}));
  // Not a terminal: status lines and the summary, no progress bar.
  EXPECT_EQ(o.err, "Conversion in progress\nConverting file 1 of 2\n" +
                       (work_ / "Rolls/a.mid").string() + "\nConverting file 2 of 2\n" +
                       (work_ / "Rolls/Sub/b.mid").string() +
                       "\n2 converted, 0 failed, 0 skipped\n");
}

// Several files at once give the very outputs and messages, in list order, of
// one file after another; a file that ends the batch stops both alike.
TEST_F(CommandTest, ParallelJobsMatchOneAfterAnother) {
  std::string names;
  for (int k = 0; k < 6; ++k) {
    const std::string name = "m" + std::to_string(k) + ".mid";
    // Longest first, so that later files finish before earlier ones.
    WriteMidi(name, static_cast<uint8_t>(40 + 7 * k), static_cast<uint32_t>(9600 - 1500 * k));
    names += " " + name;
  }
  std::ofstream(work_ / "bad.mid") << "MThd but not really";
  names += " bad.mid";
  for (const char* format : {"disklavier --mp3", "pianodisc"}) {
    const Outcome one =
        Command(std::string("--format ") + format + " --output-dir o1 --jobs 1" + names);
    const Outcome three =
        Command(std::string("--format ") + format + " --output-dir o3 --jobs 3" + names);
    EXPECT_EQ(one.status, 3) << format;
    EXPECT_EQ(three.status, 3) << format;
    EXPECT_EQ(three.err, one.err) << format;
    EXPECT_NE(one.err.find("6 converted, 1 failed, 0 skipped\nfailed: bad.mid\n"),
              std::string::npos)
        << one.err;
    ASSERT_EQ(Tree(work_ / "o3"), Tree(work_ / "o1"));
    for (const std::string& f : Tree(work_ / "o1")) {
      EXPECT_EQ(Slurp(work_ / "o3" / f), Slurp(work_ / "o1" / f)) << f;
    }
    fs::remove_all(work_ / "o1");
    fs::remove_all(work_ / "o3");
  }
  // The accompaniment guard ends the batch at m1: later files neither
  // convert nor leave anything behind, with one job or several.
  std::ofstream(work_ / "m1.wav") << "RIFF";
  for (const char* jobs : {"1", "4"}) {
    const Outcome o = Command(std::string("--format pianodisc --jobs ") + jobs + names);
    EXPECT_EQ(o.status, 2) << jobs;
    EXPECT_TRUE(fs::exists(work_ / "m0.wav")) << jobs;
    for (const char* later : {"m2.wav", "m3.wav", "m4.wav", "m5.wav"}) {
      EXPECT_FALSE(fs::exists(work_ / later)) << jobs << later;
    }
    EXPECT_NE(o.err.find("1 converted, 1 failed, 5 skipped\nfailed: m1.mid\n"), std::string::npos)
        << o.err;
    fs::remove(work_ / "m0.wav");
  }
}

class RunTonveloTest : public CommandTest {
 protected:
  int Run(const std::vector<std::string>& args, const EncoderFactory& factory) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const fs::path cwd = fs::current_path();
    fs::current_path(work_);
    const int status = RunTonvelo(args, cancel_, {out, err, false}, factory);
    fs::current_path(cwd);
    err_ = Read(err);
    std::fclose(out);
    return status;
  }
  static std::string Read(std::FILE* f) {
    std::string text;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
    std::fclose(f);
    return text;
  }

  CancelFlag cancel_{0};
  std::string err_;
};

TEST_F(RunTonveloTest, ExitsWithTheFirstFailureAndListsTheFailedFiles) {
  EncoderFactory none = [](int, const EncoderOptions&) { return nullptr; };
  WriteMidi("song.mid");
  EXPECT_EQ(Run({"song.mid"}, none), kExitUsage);
  EXPECT_EQ(err_, "tonvelo: format 'lx' is not available in this build (see tonvelo --help)\n");

  fs::create_directories(work_ / "Empty");
  EXPECT_EQ(Run({"--format", "8", "Empty"}, CreateEncoder), kExitUsage);
  EXPECT_EQ(err_, "error: No supported files found in that location: \"Empty\"\n");

  // Good, damaged and unwritable files (the output name is taken by a
  // folder); named files are taken whatever their extension.
  std::ofstream(work_ / "notes.txt") << std::string(64, 'x');
  WriteMidi("locked.mid");
  fs::create_directories(work_ / "out" / "locked.wav");
  const std::vector<std::string> common = {"--format", "8", "--output-dir", "out"};
  struct Case {
    std::vector<std::string> files;
    int status;
    std::string summary;
  };
  const Case cases[] = {
      {{"song.mid", "notes.txt", "locked.mid", "song.mid"},
       3,
       "2 converted, 2 failed, 0 skipped\nfailed: notes.txt\nfailed: locked.mid\n"},
      {{"locked.mid", "notes.txt"},
       4,
       "0 converted, 2 failed, 0 skipped\nfailed: locked.mid\nfailed: notes.txt\n"},
      {{"song.mid"}, 0, "1 converted, 0 failed, 0 skipped\n"},
  };
  for (const Case& c : cases) {
    for (const char* jobs : {"1", "2"}) {
      std::vector<std::string> args = common;
      args.insert(args.end(), {"--jobs", jobs});
      args.insert(args.end(), c.files.begin(), c.files.end());
      EXPECT_EQ(Run(args, CreateEncoder), c.status) << c.summary;
      ASSERT_GE(err_.size(), c.summary.size());
      EXPECT_EQ(err_.substr(err_.size() - c.summary.size()), c.summary) << err_;
      EXPECT_EQ(err_.find("error: Couldn't create output file \"locked.wav\"") != std::string::npos,
                c.status != 0);
    }
  }
  // A missing path is one more file that cannot be opened.
  WriteMidi("a.mid");
  EXPECT_NE(Run({"--format", "8", "a.mid", "missing.mid", "song.mid"}, CreateEncoder), kExitUsage);
  EXPECT_NE(err_.find("error: Unable to open file \"missing.mid\"\n\nNo such file or directory\n"
                      "Converting file 3 of 3\n"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(work_ / "a.wav") && fs::exists(work_ / "song.wav"));

  cancel_.store(1);
  EXPECT_EQ(Run({"--format", "8", "song.mid", "song.mid"}, CreateEncoder), 2);
  EXPECT_EQ(err_, "Conversion in progress\n0 converted, 0 failed, 2 skipped\n");
}

}  // namespace
}  // namespace tonvelo
