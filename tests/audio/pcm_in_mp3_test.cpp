#include "audio/pcm_in_mp3.h"

#include "tests/audio/mp3_test_support.h"

namespace tonvelo::test {
namespace {

// Reads until the reader stops touching the frame (its end-of-stream answer);
// the tone never reaches the sentinel value.
uint32_t CountFrames(CPCMIn_MP3& in, std::vector<int16_t>* left = nullptr) {
  constexpr int16_t kSentinel = 32000;
  uint32_t n = 0;
  for (;;) {
    PcmFrame f{kSentinel, kSentinel};
    if (in.ReadFrame(f) != AudioResult::kOk) return UINT32_MAX;
    if (f.left == kSentinel) return n;
    if (left != nullptr) left->push_back(f.left);
    ++n;
  }
}

class PcmInMp3Test : public AudioTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(PcmInMp3Test, LengthIsWhatAFullReadYields) {
  const uint32_t rate = GetParam();
  ASSERT_TRUE(WriteToneMp3(Path("a.mp3"), 3 * rate + 123, Mp3Options().Rate(rate)));
  auto in = std::make_unique<CPCMIn_MP3>();
  ASSERT_EQ(in->Open(Path("a.mp3")), AudioResult::kOk);
  EXPECT_EQ(in->GetSampleRate(), rate);
  EXPECT_EQ(in->GetChannels(), 2u);
  EXPECT_EQ(in->GetBitsPerSample(), 16u);
  std::vector<int16_t> first, second;
  EXPECT_EQ(CountFrames(*in, &first), in->GetLength());
  ASSERT_EQ(in->Rewind(), AudioResult::kOk);
  EXPECT_EQ(CountFrames(*in, &second), in->GetLength());
  EXPECT_EQ(first, second);
  // The tone comes back, delayed by the codec, on the left only.
  auto peak = std::max_element(first.begin() + 3000, first.begin() + 4000);
  EXPECT_NEAR(*peak, 10000, 500);
  if (HaveMpg123()) {
    DecodedWav d;
    ASSERT_TRUE(DecodeWithMpg123(Path("a.mp3"), Path("a.wav"), d));
    EXPECT_EQ(d.frames, in->GetLength());
  }
  EXPECT_EQ(in->Close(), AudioResult::kOk);
}

INSTANTIATE_TEST_SUITE_P(Rates, PcmInMp3Test, ::testing::Values(44100u, 48000u));

using Mp3ReaderTest = AudioTest;

fs::path EncodeWithLame(const fs::path& dir, const std::string& name, uint32_t rate,
                        uint32_t frames, const std::string& options) {
  std::vector<int16_t> mono(frames);
  for (uint32_t i = 0; i < frames; ++i) mono[i] = Tone(i, rate);
  WriteBytes(dir / (name + ".wav"), BuildWav16(rate, 1, mono));
  const fs::path mp3 = dir / (name + ".mp3");
  if (RunCommand("lame --quiet " + options + " " + Quote(dir / (name + ".wav")) + " " +
                 Quote(mp3)) != 0) {
    return {};
  }
  return mp3;
}

TEST_F(Mp3ReaderTest, MonoLeavesRightUntouched) {
  if (!HaveLame()) GTEST_SKIP() << "lame not installed";
  const fs::path mp3 = EncodeWithLame(dir_, "m", 44100, 20000, "-m m -b 128");
  ASSERT_FALSE(mp3.empty());
  auto in = std::make_unique<CPCMIn_MP3>();
  ASSERT_EQ(in->Open(mp3), AudioResult::kOk);
  EXPECT_EQ(in->GetChannels(), 1u);
  for (uint32_t i = 0; i < in->GetLength(); ++i) {
    PcmFrame f{0, 1234};
    ASSERT_EQ(in->ReadFrame(f), AudioResult::kOk);
    ASSERT_EQ(f.right, 1234) << i;
  }
}

TEST_F(Mp3ReaderTest, LowBitrateChunksOverflowNoBuffer) {
  // 8 kbit/s at 24 kHz: 24-byte frames of 576 samples, so one 32768-byte
  // chunk holds about 786000 samples, more than the decoded buffers.
  if (!HaveLame()) GTEST_SKIP() << "lame not installed";
  const fs::path mp3 = EncodeWithLame(dir_, "low", 24000, 24000 * 40, "-m m -b 8 --resample 24 -t");
  ASSERT_FALSE(mp3.empty());
  ASSERT_GT(fs::file_size(mp3), CPCMIn_MP3::kChunkBytes);
  auto in = std::make_unique<CPCMIn_MP3>();
  ASSERT_EQ(in->Open(mp3), AudioResult::kOk);
  EXPECT_EQ(in->GetSampleRate(), 24000u);
  EXPECT_GT(in->GetLength(), CPCMIn_MP3::kDecodedFrames);
  EXPECT_EQ(CountFrames(*in), in->GetLength());
  if (HaveMpg123()) {
    DecodedWav d;
    ASSERT_TRUE(DecodeWithMpg123(mp3, Path("low_dec.wav"), d));
    EXPECT_EQ(d.frames, in->GetLength());
  }
}

TEST_F(Mp3ReaderTest, TwoReadersDecodeIndependently) {
  ASSERT_TRUE(WriteToneMp3(Path("a.mp3"), 50000));
  ASSERT_TRUE(WriteToneMp3(Path("b.mp3"), 50000, Mp3Options().ToneOnRight()));
  auto a = std::make_unique<CPCMIn_MP3>();
  auto b = std::make_unique<CPCMIn_MP3>();
  ASSERT_EQ(a->Open(Path("a.mp3")), AudioResult::kOk);
  ASSERT_EQ(b->Open(Path("b.mp3")), AudioResult::kOk);
  ASSERT_EQ(a->GetLength(), b->GetLength());
  for (uint32_t i = 0; i < a->GetLength(); ++i) {
    PcmFrame fa, fb;
    ASSERT_EQ(a->ReadFrame(fa), AudioResult::kOk);
    ASSERT_EQ(b->ReadFrame(fb), AudioResult::kOk);
    // The same tone, coded the same way, on opposite channels.
    ASSERT_EQ(fa.left, fb.right) << i;
    ASSERT_EQ(fa.right, fb.left) << i;
  }
}

TEST_F(Mp3ReaderTest, DamagedAndForeignFiles) {
  ASSERT_TRUE(WriteToneMp3(Path("full.mp3"), 60000));
  Bytes b = ReadBytes(Path("full.mp3"));
  b.resize(b.size() * 2 / 3 + 17);  // ends inside a frame
  WriteBytes(Path("cut.mp3"), b);
  const std::string text = "This is not an MP3 file at all, just some text.\n";
  WriteBytes(Path("text.mp3"), Bytes(text.begin(), text.end()));
  WriteBytes(Path("empty.mp3"), {});

  auto in = std::make_unique<CPCMIn_MP3>();
  ASSERT_EQ(in->Open(Path("full.mp3")), AudioResult::kOk);
  const uint32_t fullLength = in->GetLength();
  ASSERT_EQ(in->Open(Path("cut.mp3")), AudioResult::kOk);
  EXPECT_LT(in->GetLength(), fullLength);
  EXPECT_GT(in->GetLength(), fullLength / 2);
  EXPECT_EQ(CountFrames(*in), in->GetLength());

  // No stream header: either no open or rate 0, which no output rate matches.
  for (const char* name : {"text.mp3", "empty.mp3"}) {
    if (in->Open(Path(name)) == AudioResult::kOk) {
      EXPECT_EQ(in->GetSampleRate(), 0u) << name;
      EXPECT_EQ(in->GetLength(), 0u) << name;
    }
  }
  EXPECT_EQ(in->Open(Path("absent.mp3")), AudioResult::kFailed);
  EXPECT_EQ(in->Open(dir_), AudioResult::kFailed);
  PcmFrame f;
  EXPECT_EQ(in->ReadFrame(f), AudioResult::kFailed);
  EXPECT_EQ(in->Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in->Close(), AudioResult::kFailed);
}

}  // namespace
}  // namespace tonvelo::test
