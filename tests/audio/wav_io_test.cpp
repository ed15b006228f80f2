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
  WriteBytes(Path("s.wav"), BuildWav16(44100, 2, {1, 2, 3, 4, 5, 6}));
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("s.wav")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{44100, 2, 16, 3}));
  PcmFrame f;
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<int16_t> samples;
    for (uint32_t i = 0; i < in.GetLength(); ++i) {
      ASSERT_EQ(in.ReadFrame(f), AudioResult::kOk);
      samples.insert(samples.end(), {f.left, f.right});
    }
    EXPECT_EQ(samples, (std::vector<int16_t>{1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
  }
  EXPECT_EQ(in.Close(), AudioResult::kOk);
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);

  WriteBytes(Path("m.wav"), BuildWav16(48000, 1, {100, -100}));
  ASSERT_EQ(in.Open(Path("m.wav")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{48000, 1, 16, 2}));
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
  EXPECT_EQ(Describe(in), (Format{44100, 2, 8, 2}));
  ASSERT_EQ(in.Open(Path("24.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetBitsPerSample(), 24u);
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  ASSERT_EQ(in.Open(Path("empty.wav")), AudioResult::kOk);
  EXPECT_EQ(in.Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in.Open(Path("text.wav")), AudioResult::kFailed);
  EXPECT_EQ(in.Open(Path("absent.wav")), AudioResult::kFailed);
}

TEST_F(WavWriterTest, SixteenBitStereoDoubledOnRequestWithoutTags) {
  WriteBytes(Path("song.tags.txt"), {'T', 'I', 'T', '2', '=', 'x', '\n'});
  const std::vector<int16_t> frames = {5, -6, -32768, 32767};
  {
    CPCMOut_WAV out;
    ASSERT_EQ(out.Open(Path("o.wav"), 48000, "song", Path("song.tags.txt"), true, false),
              AudioResult::kOk);
    for (size_t i = 0; i < 4; i += 2)
      ASSERT_EQ(out.WriteFrame(frames[i], frames[i + 1]), AudioResult::kOk);
  }  // the destructor finishes the file, data size included
  EXPECT_EQ(ReadBytes(Path("o.wav")), BuildWav16(48000, 2, frames));

  CPCMOut_WAV out;
  ASSERT_EQ(out.Open(Path("d.wav"), 44100, "", "", false, true), AudioResult::kOk);
  for (size_t i = 0; i < 4; i += 2)
    ASSERT_EQ(out.WriteFrame(frames[i], frames[i + 1]), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 2u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(ReadBytes(Path("d.wav")),
            BuildWav16(44100, 2, {5, -6, 5, -6, -32768, 32767, -32768, 32767}));
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
  // test); doubled, it is the second copy of frame 16382, which is counted
  // while the failure is reported.
  FileSizeLimit limit(100000);
  ASSERT_EQ(out.Open(Path("full.wav"), 44100, "", "", false, true), AudioResult::kOk);
  for (uint32_t i = 0; i < 16382; ++i) ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk) << i;
  EXPECT_EQ(out.WriteFrame(1, 2), AudioResult::kFailed);
  EXPECT_EQ(out.GetFrameCount(), 16383u);
  // The failed block is gone; the next one cannot be flushed at Close.
  ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
  EXPECT_EQ(out.Close(), AudioResult::kFailed);
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
