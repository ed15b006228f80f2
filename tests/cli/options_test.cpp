#include "cli/options.h"

#include <gtest/gtest.h>

#include <csignal>

#include "cli/cancel_signal.h"

namespace tonvelo {
namespace {

using Args = std::vector<std::string>;

TEST(OptionsTest, MapsEveryOptionOntoTheSettings) {
  CliOptions o;
  std::string error;
  ASSERT_TRUE(ParseArguments(
      {"--format", "disklavier", "--mp3", "--prefix", "--output-dir=out", "--rate", "48000",
       "--velocity-profile", "disklavier", "--synth-pedaling", "--sustain-offset", "-200",
       "--diagnostic", "--discard", "a.mid", "--", "--b.mid"},
      o, error))
      << error;
  const ConversionSettings& s = o.settings;
  EXPECT_EQ(s.outputFormat, 8);
  EXPECT_EQ(s.audioFileType, 1);
  EXPECT_EQ(s.prependFormatKey, 1);
  EXPECT_EQ(s.outputPathMode, 1);
  EXPECT_EQ(s.customOutputFolder, "out");
  EXPECT_EQ(s.SampleRateHz(), 48000u);
  EXPECT_EQ(s.velocityProfile, 1);
  EXPECT_EQ(s.synthPropPedaling, 1);
  EXPECT_EQ(s.sustainTimingOffset, -200);
  EXPECT_TRUE(o.diagnosticOutput);
  EXPECT_TRUE(o.discardOutput);
  EXPECT_EQ(o.paths, (Args{"a.mid", "--b.mid"}));

  // Defaults: LX, WAV, beside the source, 44.1 kHz; the last of --mp3/--wav wins.
  CliOptions d;
  ASSERT_TRUE(ParseArguments({"--mp3", "--wav", "x"}, d, error));
  EXPECT_EQ(d.settings.outputFormat, 0);
  EXPECT_EQ(d.settings.audioFileType, 0);
  EXPECT_EQ(d.settings.outputPathMode, 0);
  EXPECT_EQ(d.settings.SampleRateHz(), 44100u);

  int id = -1;
  EXPECT_TRUE(ParseFormat("9", id));
  EXPECT_EQ(id, 9);
  EXPECT_TRUE(ParseFormat("spirio", id));
  EXPECT_EQ(id, 9);
  EXPECT_FALSE(ParseFormat("12", id));
  EXPECT_FALSE(ParseFormat("Spirio", id));
  EXPECT_FALSE(ParseFormat("", id));
}

TEST(OptionsTest, RefusesWhatTheCoreWouldNotAccept) {
  struct Case {
    Args args;
    const char* error;
  };
  for (const Case& c : {
           Case{{"--bogus"}, "unknown option '--bogus'"},
           Case{{"--format", "steinway"}, "unknown format 'steinway' (see --list-formats)"},
           Case{{"--format", "-1"}, "unknown format '-1' (see --list-formats)"},
           Case{{"--rate", "44000"}, "--rate must be 44100 or 48000, not '44000'"},
           Case{{"--rate", "+48000"}, "--rate must be 44100 or 48000, not '+48000'"},
           Case{{"--velocity-profile", "half"},
                "--velocity-profile must be full or disklavier, not 'half'"},
           Case{{"--sustain-offset", "201"},
                "--sustain-offset must be a whole number from -200 to 200, not '201'"},
           Case{{"--sustain-offset", "1.5"},
                "--sustain-offset must be a whole number from -200 to 200, not '1.5'"},
           Case{{"--output-dir="}, "--output-dir needs a folder"},
           Case{{"x", "--format"}, "option '--format' needs a value"},
           Case{{"--prefix=1"}, "option '--prefix' takes no value"},
       }) {
    CliOptions o;
    std::string error;
    EXPECT_FALSE(ParseArguments(c.args, o, error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

TEST(CancelSignalTest, InterruptAndTerminateSetTheFlag) {
  for (int signal : {SIGINT, SIGTERM}) {
    CancelFlag flag{0};
    InstallCancelSignals(flag, false);
    std::raise(signal);
    EXPECT_EQ(flag.load(), 1);
    // The flag goes out of scope: no handler may keep pointing at it.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
}

}  // namespace
}  // namespace tonvelo
