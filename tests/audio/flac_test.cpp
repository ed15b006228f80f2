// The FLAC writer and reader, each checked against the flac and metaflac
// tools and against the other.

#include "audio/pcm_in_flac.h"
#include "audio/pcm_out_flac.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using FlacTest = AudioTest;

bool HaveFlac() { return HaveTool("flac --version") && HaveTool("metaflac --version"); }

// A tone on the left, a ramp over the whole 16-bit range on the right.
std::vector<int16_t> TestFrames(uint32_t frames, uint32_t rate) {
  std::vector<int16_t> s;
  for (uint32_t i = 0; i < frames; ++i) s.insert(s.end(), {Tone(i, rate), int16_t(i * 7919u)});
  return s;
}

bool WriteFlac(const fs::path& path, const std::vector<int16_t>& s, uint32_t rate,
               const std::string& title = "t", const fs::path& tags = {}) {
  CPCMOut_FLAC out;
  bool ok = out.Open(path, rate, title, tags, false, false) == AudioResult::kOk;
  for (size_t i = 0; ok && i < s.size(); i += 2)
    ok = out.WriteFrame(s[i], s[i + 1]) == AudioResult::kOk;
  return out.Close() == AudioResult::kOk && ok;
}

std::vector<int16_t> ReadAllFlac(CPCMIn_FLAC& in) {
  std::vector<int16_t> s;
  for (PcmFrame f; s.size() < 2 * in.GetLength() && in.ReadFrame(f) == AudioResult::kOk;) {
    s.insert(s.end(), {f.left, f.right});
  }
  return s;
}

TEST_F(FlacTest, LosslessAtBothRatesThroughBothDecoders) {
  // Blocks of 4096 frames: one partial block, an exact one, and a remainder.
  for (const auto& [rate, frames] : {std::pair{44100u, 1000u}, {48000u, 4096u}, {44100u, 50001u}}) {
    SCOPED_TRACE(frames);
    const std::vector<int16_t> samples = TestFrames(frames, rate);
    ASSERT_TRUE(WriteFlac(Path("t.flac"), samples, rate));
    CPCMIn_FLAC in;
    ASSERT_EQ(in.Open(Path("t.flac")), AudioResult::kOk);
    EXPECT_EQ(Describe(in), (Format{rate, 2, 16, frames}));
    EXPECT_EQ(ReadAllFlac(in), samples);
    PcmFrame past;
    EXPECT_EQ(in.ReadFrame(past), AudioResult::kFailed);
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
    EXPECT_EQ(ReadAllFlac(in), samples);
    if (!HaveFlac()) continue;
    EXPECT_EQ(RunCommand("flac -t -s " + Quote(Path("t.flac"))), 0);
    EXPECT_EQ(RunCommand("flac -d -s -f --force-raw-format --endian=little --sign=signed -o " +
                         Quote(Path("t.raw")) + " " + Quote(Path("t.flac"))),
              0);
    const Bytes raw = ReadBytes(Path("t.raw"));
    EXPECT_EQ(raw, Bytes(reinterpret_cast<const uint8_t*>(samples.data()),
                         reinterpret_cast<const uint8_t*>(samples.data() + samples.size())));
  }
}

TEST_F(FlacTest, TagsFileLinesBecomeVorbisComments) {
  if (!HaveFlac()) GTEST_SKIP() << "metaflac not installed";
  auto tagsOf = [&](const std::string& name) {
    std::string out;
    RunCommand("metaflac --export-tags-to=- " + Quote(Path(name)), &out);
    return out;
  };
  // Mapped frames only; a later DATE replaces the earlier one; a comment
  // loses its description; bytes that are not UTF-8 are read as Latin-1.
  const std::string tags =
      "\xEF\xBB\xBFTIT2=F\xC3\xBCr Elise\r\nTPE1=\xE9t\xE9\nTALB=Album\nTRCK=3/12\nTYER=1810\n"
      "TDRC=1867\nTCON=Classical\nCOMM=eng=Late\nTCOM=Beethoven\nTXXX=a=b\nTALB\n";
  WriteBytes(Path("s.tags.txt"), Bytes(tags.begin(), tags.end()));
  ASSERT_TRUE(WriteFlac(Path("s.flac"), TestFrames(100, 44100), 44100, "s", Path("s.tags.txt")));
  EXPECT_EQ(tagsOf("s.flac"),
            "TITLE=F\xC3\xBCr Elise\nARTIST=\xC3\xA9t\xC3\xA9\nALBUM=Album\nTRACKNUMBER=3/12\n"
            "DATE=1867\nGENRE=Classical\nCOMMENT=Late\n");
  // Without a tags file the music file's name is the title.
  ASSERT_TRUE(WriteFlac(Path("n.flac"), {}, 48000, "Sonate \xC3\xA0 deux", Path("none.tags.txt")));
  EXPECT_EQ(tagsOf("n.flac"), "TITLE=Sonate \xC3\xA0 deux\n");
}

TEST_F(FlacTest, FailuresBecomeOneAndOtherStreamsRead) {
  CPCMOut_FLAC out;
  EXPECT_EQ(out.Open(Path("no/dir/o.flac"), 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  EXPECT_EQ(out.Open("/dev/full", 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_TRUE(fs::exists("/dev/full"));

  // A cut-off stream fails before its stated end; a WAV is no FLAC.
  const std::vector<int16_t> samples = TestFrames(30000, 44100);
  ASSERT_TRUE(WriteFlac(Path("full.flac"), samples, 44100));
  Bytes b = ReadBytes(Path("full.flac"));
  b.resize(b.size() / 2);
  WriteBytes(Path("cut.flac"), b);
  WriteBytes(Path("wave.flac"), BuildWav16(44100, 2, samples));
  CPCMIn_FLAC in;
  ASSERT_EQ(in.Open(Path("cut.flac")), AudioResult::kOk);
  EXPECT_EQ(in.GetLength(), 30000u);
  EXPECT_LT(ReadAllFlac(in).size(), samples.size());
  for (const char* name : {"wave.flac", "absent.flac", "."}) {
    EXPECT_EQ(in.Open(Path(name)), AudioResult::kFailed) << name;
  }
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  EXPECT_EQ(in.Close(), AudioResult::kFailed);

  // Mono through a pipe, so the stream cannot state its length: it is
  // counted, and only the left value is written.
  if (!HaveFlac()) GTEST_SKIP() << "flac not installed";
  std::vector<int16_t> mono(samples.begin(), samples.begin() + 9000);
  WriteBytes(Path("m.raw"), Bytes(reinterpret_cast<const uint8_t*>(mono.data()),
                                  reinterpret_cast<const uint8_t*>(mono.data() + mono.size())));
  ASSERT_EQ(RunCommand("flac -s -c --force-raw-format --endian=little --sign=signed --channels=1 "
                       "--bps=16 --sample-rate=48000 - < " +
                       Quote(Path("m.raw")) + " 2>/dev/null | cat > " + Quote(Path("m.flac"))),
            0);
  ASSERT_EQ(in.Open(Path("m.flac")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{48000, 1, 16, 9000}));
  for (uint32_t i = 0; i < 9000; ++i) {
    PcmFrame m{0, 1234};
    ASSERT_EQ(in.ReadFrame(m), AudioResult::kOk);
    ASSERT_EQ(std::make_pair(m.left, m.right), std::make_pair(mono[i], int16_t{1234})) << i;
  }
}

}  // namespace
}  // namespace tonvelo::test
