#include "audio/pcm_out_wav.h"

#include "audio/pcm_out_null.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using PcmOutWavTest = AudioTest;

TEST_F(PcmOutWavTest, WritesSixteenBitStereoAtTheRate) {
  CPCMOut_WAV out;
  ASSERT_EQ(out.Open(Path("o.wav"), 48000, "title", "", true, false), AudioResult::kOk);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(out.WriteFrame(static_cast<int16_t>(i), static_cast<int16_t>(-2 * i)),
              AudioResult::kOk);
  }
  EXPECT_EQ(out.GetFrameCount(), 1000u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("o.wav"), wav));
  EXPECT_EQ(wav.rate, 48000u);
  ASSERT_EQ(wav.left.size(), 1000u);
  EXPECT_EQ(wav.left[999], 999);
  EXPECT_EQ(wav.right[999], -1998);
}

TEST_F(PcmOutWavTest, DoubledFramesAreStoredTwiceAndCountedOnce) {
  CPCMOut_WAV out;
  ASSERT_EQ(out.Open(Path("d.wav"), 44100, "", "", false, true), AudioResult::kOk);
  for (int16_t i = 0; i < 3; ++i)
    ASSERT_EQ(out.WriteFrame(i, static_cast<int16_t>(i + 10)), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 3u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("d.wav"), wav));
  EXPECT_EQ(wav.left, (std::vector<int16_t>{0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(wav.right, (std::vector<int16_t>{10, 10, 11, 11, 12, 12}));

  // Reopening starts the count afresh and without doubling.
  CPCMOut_WAV again;
  ASSERT_EQ(again.Open(Path("d2.wav"), 44100, "", "", false, false), AudioResult::kOk);
  ASSERT_EQ(again.WriteFrame(1, 1), AudioResult::kOk);
  EXPECT_EQ(again.GetFrameCount(), 1u);
}

TEST_F(PcmOutWavTest, TitleAndTagsFileDoNotChangeTheFile) {
  WriteBytes(Path("song.tags.txt"), {'T', 'I', 'T', '2', '=', 'x', '\n'});
  for (const char* name : {"a.wav", "b.wav"}) {
    CPCMOut_WAV out;
    const bool tagged = name[0] == 'a';
    ASSERT_EQ(out.Open(Path(name), 44100, tagged ? "song" : "", tagged ? Path("song.tags.txt") : "",
                       tagged, false),
              AudioResult::kOk);
    ASSERT_EQ(out.WriteFrame(5, 6), AudioResult::kOk);
  }  // the destructor finishes the file, data size included
  const Bytes a = ReadBytes(Path("a.wav"));
  EXPECT_EQ(a, ReadBytes(Path("b.wav")));
  ASSERT_EQ(a.size(), 48u);
  EXPECT_EQ(LE32(a, 40), 4u);
}

TEST_F(PcmOutWavTest, FailuresBecomeOne) {
  CPCMOut_WAV out;
  EXPECT_EQ(out.Open(Path("no/such/dir/o.wav"), 44100, "", "", false, false), AudioResult::kFailed);
  EXPECT_FALSE(fs::exists(Path("no")));
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  EXPECT_EQ(out.GetFrameCount(), 0u);

  // Stored frame 32765 is the first that no longer fits (see the CWaveFile
  // test). Undoubled, that frame fails and is not counted; doubled, it is the
  // second copy of frame 16382, which is counted while the failure is
  // reported.
  FileSizeLimit limit(100000);
  for (bool doubled : {false, true}) {
    const uint32_t good = doubled ? 16382 : 32765;
    ASSERT_EQ(out.Open(Path("full.wav"), 44100, "", "", false, doubled), AudioResult::kOk);
    for (uint32_t i = 0; i < good; ++i) ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk) << i;
    EXPECT_EQ(out.WriteFrame(1, 2), AudioResult::kFailed);
    EXPECT_EQ(out.GetFrameCount(), doubled ? good + 1 : good);
    ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
    EXPECT_EQ(out.Close(), AudioResult::kFailed);
  }
}

TEST_F(PcmOutWavTest, NullWriterCountsAndCreatesNothing) {
  CPCMOut_NULL out;
  ASSERT_EQ(out.Open(Path("n.wav"), 44100, "t", Path("t.tags.txt"), true, true), AudioResult::kOk);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 100000u);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_TRUE(fs::is_empty(dir_));
}

}  // namespace
}  // namespace tonvelo::test
