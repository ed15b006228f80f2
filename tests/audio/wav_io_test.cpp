// The WAV accompaniment reader and the WAV and discarding output writers.

#include "audio/pcm_in_wav.h"
#include "audio/pcm_out_null.h"
#include "audio/pcm_out_wav.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using WavReaderTest = AudioTest;
using WavWriterTest = AudioTest;

TEST_F(WavReaderTest, ReportsTheFileAndRewindsToItsStart) {
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
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);

  WriteBytes(Path("m.wav"), BuildWav16(48000, 1, {100, -100}));
  ASSERT_EQ(in.Open(Path("m.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetChannels(), 1u);
  EXPECT_EQ(in.GetLength(), 2u);
  EXPECT_EQ(in.GetSampleRate(), 48000u);
  f = {0, 777};
  for (int16_t expected : {100, -100}) {
    ASSERT_EQ(in.ReadFrame(f), AudioResult::kOk);
    EXPECT_EQ(f.left, expected);
    EXPECT_EQ(f.right, 777);  // mono leaves right untouched
  }
}

TEST_F(WavReaderTest, OtherWidthsOpenAndFailuresBecomeOne) {
  WriteBytes(Path("8.wav"), BuildWav8(44100, 2, {1, 2, 3, 4}));
  WriteBytes(Path("24.wav"), RiffBuilder().Fmt(2, 44100, 24).Chunk("data", Bytes(12)).Build());
  WriteBytes(Path("empty.wav"), BuildWav16(44100, 2, {}));
  WriteBytes(Path("text.wav"), Bytes(13, 'x'));
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("8.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetBitsPerSample(), 8u);
  EXPECT_EQ(in.GetLength(), 2u);
  ASSERT_EQ(in.Open(Path("24.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetBitsPerSample(), 24u);
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  ASSERT_EQ(in.Open(Path("empty.wav")), AudioResult::kOk);
  EXPECT_EQ(in.Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in.Open(Path("text.wav")), AudioResult::kFailed);
  EXPECT_EQ(in.Open(Path("absent.wav")), AudioResult::kFailed);
}

TEST_F(WavWriterTest, SixteenBitStereoIgnoringTitleAndTags) {
  WriteBytes(Path("song.tags.txt"), {'T', 'I', 'T', '2', '=', 'x', '\n'});
  {
    CPCMOut_WAV out;
    ASSERT_EQ(out.Open(Path("o.wav"), 48000, "song", Path("song.tags.txt"), true, false),
              AudioResult::kOk);
    ASSERT_EQ(out.WriteFrame(5, -6), AudioResult::kOk);
    ASSERT_EQ(out.WriteFrame(-32768, 32767), AudioResult::kOk);
    EXPECT_EQ(out.GetFrameCount(), 2u);
  }  // the destructor finishes the file, data size included
  Bytes expected = BuildWav16(48000, 2, {5, -6, -32768, 32767});
  EXPECT_EQ(ReadBytes(Path("o.wav")), expected);
}

TEST_F(WavWriterTest, DoubledFramesAreStoredTwiceAndCountedOnce) {
  CPCMOut_WAV out;
  ASSERT_EQ(out.Open(Path("d.wav"), 44100, "", "", false, true), AudioResult::kOk);
  for (int16_t i = 0; i < 3; ++i) {
    ASSERT_EQ(out.WriteFrame(i, static_cast<int16_t>(i + 10)), AudioResult::kOk);
  }
  EXPECT_EQ(out.GetFrameCount(), 3u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(ReadBytes(Path("d.wav")),
            BuildWav16(44100, 2, {0, 10, 0, 10, 1, 11, 1, 11, 2, 12, 2, 12}));

  // Reopening starts the count afresh and without doubling.
  ASSERT_EQ(out.Open(Path("d2.wav"), 44100, "", "", false, false), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(1, 1), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 1u);
}

TEST_F(WavWriterTest, UnwritableFolderAndFullDiskBecomeOne) {
  CPCMOut_WAV out;
  EXPECT_EQ(out.Open(Path("no/dir/o.wav"), 44100, "", "", false, false), AudioResult::kFailed);
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
    // The failed block is gone; the next one cannot be flushed at Close.
    ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
    EXPECT_EQ(out.Close(), AudioResult::kFailed);
  }
}

TEST_F(WavWriterTest, DiscardingWriterCountsAndCreatesNothing) {
  CPCMOut_NULL out;
  ASSERT_EQ(out.Open(Path("n.wav"), 44100, "t", Path("t.tags.txt"), true, true), AudioResult::kOk);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 100000u);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_TRUE(fs::is_empty(dir_));
}

}  // namespace
}  // namespace tonvelo::test
