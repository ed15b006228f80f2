#include "cli/options.h"

#include <gtest/gtest.h>

#include <csignal>
#include <tuple>

#include "cli/cancel_signal.h"
#include "cli/terminal_text.h"

namespace tonvelo {
namespace {

using Args = std::vector<std::string>;

// Refused arguments and their texts are checked through the built command.
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
  EXPECT_EQ(std::tie(s.outputFormat, s.audioFileType, s.prependFormatKey, s.outputPathMode,
                     s.velocityProfile, s.synthPropPedaling, s.sustainTimingOffset),
            std::make_tuple(8, 1, 1, 1, 1, 1, -200));
  EXPECT_EQ(s.customOutputFolder, "out");
  EXPECT_EQ(s.SampleRateHz(), 48000u);
  EXPECT_TRUE(o.diagnosticOutput && o.discardOutput);
  EXPECT_EQ(o.paths, (Args{"a.mid", "--b.mid"}));

  // Defaults: LX, WAV, beside the source, 44.1 kHz; the last of --mp3/--wav
  // wins; a format is named by its key or its id.
  CliOptions d;
  ASSERT_TRUE(ParseArguments({"--mp3", "--wav", "x"}, d, error));
  EXPECT_EQ(std::tie(d.settings.outputFormat, d.settings.audioFileType, d.settings.outputPathMode),
            std::make_tuple(0, 0, 0));
  EXPECT_EQ(d.settings.SampleRateHz(), 44100u);
  for (const char* name : {"9", "spirio"}) {
    int id = -1;
    EXPECT_TRUE(ParseFormat(name, id));
    EXPECT_EQ(id, 9);
  }
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
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
  }
}

TEST(TerminalTextTest, EscapesWhatIsNotTextAndKeepsWhatIs) {
  for (const auto& [raw, shown] : std::initializer_list<std::pair<const char*, const char*>>{
           {"caf\xE9.mid", "caf\\xE9.mid"},  // Latin-1
           {"Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx",
            "Caf\xC3\xA9 \xF0\x9F\x8E\xB9\n\tx"},                           // UTF-8, breaks
           {"\x1B[2J\x7F", "\\x1B[2J\\x7F"},                                // terminal controls
           {"\xC2\x9B", "\\xC2\\x9B"},                                      // C1 control
           {"\xC0\xAF\xED\xA0\x80", "\\xC0\\xAF\\xED\\xA0\\x80"},           // overlong, surrogate
           {"\xF4\x90\x80\x80\xE6\x97", "\\xF4\\x90\\x80\\x80\\xE6\\x97"},  // past U+10FFFF, cut
       }) {
    EXPECT_EQ(EscapeForTerminal(raw), shown) << shown;
  }
}

}  // namespace
}  // namespace tonvelo
