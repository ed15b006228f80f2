// The FLAC writer and reader against each other and the flac tool, at 48000 Hz.

#include "audio/pcm_in_flac.h"
#include "audio/pcm_out_flac.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using FlacTest = AudioTest;

std::vector<int16_t> ReadAllFlac(CPCMIn_FLAC& in) {
  std::vector<int16_t> s;
  for (PcmFrame f; s.size() < 2 * in.GetLength() && in.ReadFrame(f) == AudioResult::kOk;) {
    s.insert(s.end(), {f.left, f.right});
  }
  return s;
}

TEST_F(FlacTest, RoundTripCutStreamsAndMonoOfUnknownLength) {
  CPCMOut_FLAC out;
  EXPECT_EQ(out.Open(Path("no/dir/o.flac"), 48000, "t", "", false, false), AudioResult::kFailed);
  // Blocks of 4096 frames and a remainder; a tone left, the whole 16-bit range right.
  std::vector<int16_t> samples;
  for (uint32_t i = 0; i < 30000; ++i)
    samples.insert(samples.end(), {Tone(i, 48000), int16_t(i * 7919u)});
  ASSERT_EQ(out.Open(Path("full.flac"), 48000, "t", "", false, false), AudioResult::kOk);
  for (size_t i = 0; i < samples.size(); i += 2)
    ASSERT_EQ(out.WriteFrame(samples[i], samples[i + 1]), AudioResult::kOk);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(RunCommand("flac -t -s " + Quote(Path("full.flac"))), 0);
  CPCMIn_FLAC in;
  ASSERT_EQ(in.Open(Path("full.flac")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{48000, 2, 16, 30000}));
  EXPECT_EQ(ReadAllFlac(in), samples);
  PcmFrame past;
  EXPECT_EQ(in.ReadFrame(past), AudioResult::kFailed);
  ASSERT_EQ(in.Rewind(), AudioResult::kOk);
  EXPECT_EQ(ReadAllFlac(in), samples);
  // A cut-off stream fails before its stated end; a WAV is no FLAC.
  Bytes b = ReadBytes(Path("full.flac"));
  b.resize(b.size() / 2);
  WriteBytes(Path("cut.flac"), b);
  WriteBytes(Path("wave.flac"), BuildWav16(44100, 2, samples));
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
                       "--bps=16 --sample-rate=44100 - < " +
                       Quote(Path("m.raw")) + " 2>/dev/null | cat > " + Quote(Path("m.flac"))),
            0);
  ASSERT_EQ(in.Open(Path("m.flac")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{44100, 1, 16, 9000}));
  for (int16_t v : mono) expected.insert(expected.end(), {v, 0});  // right is never written
  EXPECT_EQ(ReadAllFlac(in), expected);
}

}  // namespace
}  // namespace tonvelo::test
