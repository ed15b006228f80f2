// The FLAC writer and reader, checked against each other and against the flac
// tool (the command's tests compare a whole track and its comments).

#include "audio/pcm_in_flac.h"
#include "audio/pcm_out_flac.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using FlacTest = AudioTest;

// A tone on the left, a ramp over the whole 16-bit range on the right.
std::vector<int16_t> TestFrames(uint32_t frames, uint32_t rate) {
  std::vector<int16_t> s;
  for (uint32_t i = 0; i < frames; ++i) s.insert(s.end(), {Tone(i, rate), int16_t(i * 7919u)});
  return s;
}

bool WriteFlac(const fs::path& path, const std::vector<int16_t>& s, uint32_t rate) {
  CPCMOut_FLAC out;
  bool ok = out.Open(path, rate, "t", "", false, false) == AudioResult::kOk;
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

TEST_F(FlacTest, RoundTripIsExactAtBothRates) {
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
    EXPECT_EQ(RunCommand("flac -t -s " + Quote(Path("t.flac"))), 0);
  }
}

TEST_F(FlacTest, FailuresBecomeOneAndOtherStreamsRead) {
  CPCMOut_FLAC out;
  EXPECT_EQ(out.Open(Path("no/dir/o.flac"), 44100, "t", "", false, false), AudioResult::kFailed);
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
  // Mono through a pipe, so the stream cannot state its length: it is
  // counted, and only the left value is written.
  std::vector<int16_t> mono(samples.begin(), samples.begin() + 9000), expected;
  WriteBytes(Path("m.raw"), Bytes(reinterpret_cast<const uint8_t*>(mono.data()),
                                  reinterpret_cast<const uint8_t*>(mono.data() + mono.size())));
  ASSERT_EQ(RunCommand("flac -s -c --force-raw-format --endian=little --sign=signed --channels=1 "
                       "--bps=16 --sample-rate=48000 - < " +
                       Quote(Path("m.raw")) + " 2>/dev/null | cat > " + Quote(Path("m.flac"))),
            0);
  ASSERT_EQ(in.Open(Path("m.flac")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{48000, 1, 16, 9000}));
  for (int16_t v : mono) expected.insert(expected.end(), {v, 0});  // right is never written
  EXPECT_EQ(ReadAllFlac(in), expected);
}

}  // namespace
}  // namespace tonvelo::test
