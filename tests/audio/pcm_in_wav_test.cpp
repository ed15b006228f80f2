#include "audio/pcm_in_wav.h"

#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using PcmInWavTest = AudioTest;

TEST_F(PcmInWavTest, ReportsTheFileAndRewinds) {
  std::vector<int16_t> samples;
  for (int i = 0; i < 2 * 30000; ++i) samples.push_back(static_cast<int16_t>(i * 7));
  WriteBytes(Path("s.wav"), BuildWav16(44100, 2, samples));
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("s.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetLength(), 30000u);
  EXPECT_EQ(in.GetChannels(), 2u);
  EXPECT_EQ(in.GetSampleRate(), 44100u);
  EXPECT_EQ(in.GetBitsPerSample(), 16u);
  PcmFrame f;
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 30000; ++i) {
      ASSERT_EQ(in.ReadFrame(f), AudioResult::kOk);
      ASSERT_EQ(f.left, static_cast<int16_t>(2 * i * 7));
      ASSERT_EQ(f.right, static_cast<int16_t>((2 * i + 1) * 7));
    }
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
  }
  EXPECT_EQ(in.Close(), AudioResult::kOk);
  EXPECT_EQ(in.Close(), AudioResult::kOk);
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
}

TEST_F(PcmInWavTest, MonoFillsOnlyLeft) {
  WriteBytes(Path("m.wav"), BuildWav16(48000, 1, {100, -100, 300}));
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("m.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetChannels(), 1u);
  EXPECT_EQ(in.GetLength(), 3u);
  EXPECT_EQ(in.GetSampleRate(), 48000u);
  PcmFrame f{0, 777};
  for (int16_t expected : {100, -100, 300}) {
    ASSERT_EQ(in.ReadFrame(f), AudioResult::kOk);
    EXPECT_EQ(f.left, expected);
    EXPECT_EQ(f.right, 777);
  }
}

TEST_F(PcmInWavTest, OtherWidthsOpenAndReportThemselves) {
  WriteBytes(Path("8.wav"), RiffBuilder().Fmt(2, 44100, 8).Chunk("data", {1, 2, 3, 4}).Build());
  WriteBytes(Path("24.wav"), RiffBuilder().Fmt(2, 44100, 24).Chunk("data", Bytes(12)).Build());
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("8.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetBitsPerSample(), 8u);
  EXPECT_EQ(in.GetLength(), 2u);
  ASSERT_EQ(in.Open(Path("24.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetBitsPerSample(), 24u);
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
}

TEST_F(PcmInWavTest, FailuresBecomeOne) {
  WriteBytes(Path("empty.wav"), BuildWav16(44100, 2, {}));
  WriteBytes(Path("text.wav"), {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '\n'});
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("empty.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetLength(), 0u);
  EXPECT_EQ(in.Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in.Open(Path("text.wav")), AudioResult::kFailed);
  EXPECT_EQ(in.Open(Path("absent.wav")), AudioResult::kFailed);
}

}  // namespace
}  // namespace tonvelo::test
