// The built `tonvelo` in a child process, for what only a process shows:
// signals, kill -9, closed streams, permissions, a file-size limit. Run as
// root, the child becomes "nobody" so that permissions hold for it.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "pipeline/conversion_thread.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/midi_builder.h"

namespace tonvelo::test {
namespace {

enum class Stderr { kFile, kClosed, kUnread };

class HostileRunTest : public AudioTest {
 protected:
  void SetUp() override {
    AudioTest::SetUp();
    ::umask(0);  // every folder writable for the unprivileged child
    fs::permissions(dir_, fs::perms::all);
  }
  void Midi(const std::string& name, uint32_t notes = 1) const {
    fs::create_directories(Path(name).parent_path());
    MidiBuilder midi(0, 480);
    TrackBuilder& track = midi.AddTrack();
    for (uint32_t i = 0; i < notes; ++i) track.NoteOn(0, 0, 60, 100).NoteOff(240, 0, 60);
    track.End();
    midi.Write(Path(name));
  }
  pid_t Start(const std::string& args, Stderr err = Stderr::kFile,
              rlim_t fileSize = RLIM_INFINITY) {
    const std::string line = "exec '" TONVELO_CLI_PATH "' --format disklavier " + args;
    int pipeFds[2] = {-1, -1};
    if (err == Stderr::kUnread && ::pipe(pipeFds) == 0) ::close(pipeFds[0]);
    const pid_t pid = ::fork();
    if (pid != 0) {
      if (pipeFds[1] >= 0) ::close(pipeFds[1]);
      return pid;
    }
    if (::chdir(dir_.c_str()) != 0) ::_exit(120);
    const int errFd =
        err == Stderr::kFile ? ::open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0666) : pipeFds[1];
    ::dup2(::open("/dev/null", O_WRONLY), 1);
    if (err == Stderr::kClosed) ::close(2);
    if (err != Stderr::kClosed) ::dup2(errFd, 2);
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
  std::string Err() const {
    const Bytes b = ReadBytes(Path("stderr"));
    return std::string(b.begin(), b.end());
  }
  // The hidden names of outputs in the making, anywhere under the folder.
  std::vector<std::string> Hidden() const {
    std::vector<std::string> found;
    for (auto& e :
         fs::recursive_directory_iterator(dir_, fs::directory_options::skip_permission_denied)) {
      if (e.path().string().find(kPartialOutputSuffix) != std::string::npos)
        found.push_back(e.path().string());
    }
    return found;
  }
};

TEST_F(HostileRunTest, HostileFileSystemsFailCleanlyAndNeverTouchTheSources) {
  Midi("in/a.mid");
  Midi("in/caf\xE9.mid");  // Latin-1, not UTF-8
  Midi("in/locked/b.mid");
  Midi("in/own.mid");  // beside own.wav: the accompaniment guard ends a batch
  WriteBytes(Path("in/own.wav"), BuildWav16(44100, 2, std::vector<int16_t>(400, 7)));
  WriteBytes(Path("in/a.wav"), BuildWav16(48000, 2, std::vector<int16_t>(400, 7)));
  WriteBytes(Path("in/a.mp3"), Bytes(300, 0xFF));
  WriteBytes(Path("in/damaged.mid"), Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0});
  WriteBytes(Path("in/text.mid"), Bytes(64, 'x'));
  fs::create_directories(Path("ro"));
  fs::permissions(Path("ro"), fs::perms::owner_read | fs::perms::owner_exec);
  std::map<std::string, Bytes> sources;
  for (auto& e : fs::directory_iterator(Path("in"))) {
    if (!e.is_regular_file()) continue;
    sources[e.path()] = ReadBytes(e.path());
    fs::permissions(e.path(),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  fs::permissions(Path("in/locked"), fs::perms::none);
  struct Case {
    std::string args;
    Stderr err;
    rlim_t fileSize;
    int status;
    std::vector<std::string> said;
  };
  const rlim_t any = RLIM_INFINITY;
  // clang-format off
  const std::string locked = "warning: Folder \"" + Path("in/locked").string() +
                             "\" could not be searched (Permission denied); its files are left out.";
  for (const Case& c : {
    //   arguments                                 stderr           file size  exit  stderr says
    Case{"--output-dir out --jobs 2 in",             Stderr::kFile,   any,       3,    {locked, "/in/caf\\xE9.mid\n",
         "error: Unable to open file \"damaged.mid\"\n\nThe file ends early", "error: \"text.mid\" is not a valid MIDI",
         "error: Accompaniment file \"a.wav\" does not match", "3 converted, 2 failed"}},
    Case{"in/own.mid in/a.mid",                      Stderr::kFile,   any,       2,    {"would overwrite source accompaniment"}},
    Case{"--output-dir " + std::string(4200, 'd') + " in/a.mid",
                                                     Stderr::kFile,   any,       4,    {"error: Couldn't create output folder", "\n\nFile name too long\n"}},
    Case{"--output-dir ro in/a.mid",                 Stderr::kFile,   any,       4,    {"error: Couldn't create output file \"a.wav\"\n\nPermission denied\n"}},
    Case{"--output-dir full in/a.mid in/own.mid",    Stderr::kFile,   50000,     4,    {"error: Error writing to output file \"a.wav\"\n\nFile too large\n"}},
    Case{"--output-dir closed in/a.mid",             Stderr::kClosed, any,       0,    {}},
    Case{"--output-dir unread --jobs 2 in/a.mid in/own.mid", Stderr::kUnread, any, 0,  {}},
  }) {
    // clang-format on
    EXPECT_EQ(Wait(Start(c.args, c.err, c.fileSize)), c.status) << c.args;
    for (const std::string& text : c.said) {
      EXPECT_NE(Err().find(text), std::string::npos) << c.args << "\n" << Err();
    }
  }
  EXPECT_TRUE(fs::exists(Path("out/in/caf\xE9.wav")));
  // A closed or unread stderr stops nothing: the outputs are whole.
  for (const char* wav : {"closed/a.wav", "unread/a.wav", "unread/own.wav"}) {
    const Bytes b = ReadBytes(Path(wav));
    EXPECT_TRUE(b.size() > 44 && LE32(b, 4) + 8 == b.size()) << wav;
  }
  EXPECT_EQ(Hidden(), std::vector<std::string>{});
  fs::permissions(Path("in/locked"), fs::perms::all);
  for (const auto& [path, bytes] : sources) EXPECT_EQ(ReadBytes(path), bytes) << path;
}

TEST_F(HostileRunTest, SignalsCancelCleanlyAndKillNineLeavesTheOlderOutput) {
  Midi("in/long.mid", 1200);  // minutes of music: a signal lands mid-file
  Midi("in/short.mid");
  const Bytes old{'o', 'l', 'd'};
  for (const auto& [signal, jobs] :
       {std::pair{SIGINT, 1}, {SIGTERM, 2}, {SIGHUP, 2}, {SIGKILL, 1}}) {
    WriteBytes(Path("in/disklavier_long.wav"), old);
    const pid_t pid = Start("--prefix --jobs " + std::to_string(jobs) + " in");
    for (int i = 0; i < 2000 && Hidden().empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, signal);
    EXPECT_EQ(Wait(pid), signal == SIGKILL ? -SIGKILL : 2) << signal;
    EXPECT_EQ(ReadBytes(Path("in/disklavier_long.wav")), old) << signal;
    EXPECT_EQ(Hidden().size(), signal == SIGKILL ? 1u : 0u) << signal;
  }
  // What a killed run left is neither a source nor an accompaniment.
  EXPECT_EQ(Wait(Start("--prefix in")), 0);
  EXPECT_NE(Err().find("2 converted, 0 failed, 0 skipped"), std::string::npos) << Err();
  EXPECT_EQ(Err().find("ccompaniment"), std::string::npos) << Err();
}

TEST_F(HostileRunTest, ThousandFilesRunToTheEndAndCancelAnywhere) {
  for (int i = 0; i < 1000; ++i) Midi("in/" + std::to_string(i) + ".mid");
  for (const char* jobs : {"1", "3"}) {
    EXPECT_EQ(Wait(Start(std::string("--output-dir o") + jobs + " --jobs " + jobs + " in")), 0);
    EXPECT_NE(Err().find("1000 converted, 0 failed, 0 skipped"), std::string::npos) << jobs;
  }
  const pid_t pid = Start("--output-dir cancelled --jobs 3 in");
  for (int i = 0; i < 20000 && !fs::exists(Path("cancelled/in/500.wav")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ::kill(pid, SIGTERM);
  EXPECT_EQ(Wait(pid), 2);
  EXPECT_EQ(Hidden(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tonvelo::test
