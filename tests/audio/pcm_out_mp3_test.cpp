#include "audio/pcm_out_mp3.h"

#include "audio/pcm_in_mp3.h"
#include "tests/audio/mp3_test_support.h"

namespace tonvelo::test {
namespace {

class PcmOutMp3Test : public AudioTest, public ::testing::WithParamInterface<uint32_t> {};

// Reads the whole file through the product's reader; returns the RMS of each
// channel over the frames well inside the signal.
struct ReadBack {
  uint32_t length = 0, rate = 0, channels = 0;
  double rmsLeft = 0, rmsRight = 0;
};

ReadBack ReadBackMp3(const fs::path& path) {
  ReadBack r;
  CPCMIn_MP3 in;
  if (in.Open(path) != AudioResult::kOk) return r;
  r.length = in.GetLength();
  r.rate = in.GetSampleRate();
  r.channels = in.GetChannels();
  double sl = 0, sr = 0;
  PcmFrame f;
  const uint32_t from = 4000, to = r.length > 8000 ? r.length - 4000 : from;
  for (uint32_t i = 0; i < r.length && in.ReadFrame(f) == AudioResult::kOk; ++i) {
    if (i >= from && i < to)
      sl += static_cast<double>(f.left) * f.left, sr += static_cast<double>(f.right) * f.right;
  }
  if (to > from) r.rmsLeft = std::sqrt(sl / (to - from)), r.rmsRight = std::sqrt(sr / (to - from));
  return r;
}

TEST_P(PcmOutMp3Test, StreamLayoutAndDecodedLength) {
  const uint32_t rate = GetParam();
  // One partial block, exactly one block, and blocks with a remainder.
  for (uint32_t frames : {1000u, 48000u, 100001u}) {
    SCOPED_TRACE(frames);
    const fs::path mp3 = Path("t.mp3");
    ASSERT_TRUE(WriteToneMp3(mp3, frames, Mp3Options().Rate(rate)));
    const Bytes b = ReadBytes(mp3);
    ASSERT_GT(Id3v2Bytes(b), 10u);
    std::vector<FrameHeader> headers;
    ASSERT_TRUE(WalkFrames(b, headers)) << "bytes outside MPEG frames";
    for (const FrameHeader& h : headers) {
      ASSERT_EQ(h.bitrateKbps, 192);
      ASSERT_EQ(h.rate, rate);
      ASSERT_EQ(h.mode, 0) << "not plain stereo";
      ASSERT_FALSE(h.copyright);
      ASSERT_TRUE(h.original);
    }
    // No VBR information frame at the start, no ID3v1 tag at the end.
    const std::string first(
        b.begin() + headers[0].offset,
        b.begin() + static_cast<long>(headers.size() > 1 ? headers[1].offset : b.size()));
    EXPECT_EQ(first.find("Xing"), std::string::npos);
    EXPECT_EQ(first.find("Info"), std::string::npos);
    EXPECT_NE(std::string(b.end() - 128, b.end()).substr(0, 3), "TAG");

    // Whole frames of 1152: the input, the encoder's 576-sample delay, and
    // padding up to less than one frame beyond one more frame.
    const ReadBack r = ReadBackMp3(mp3);
    EXPECT_EQ(r.rate, rate);
    EXPECT_EQ(r.channels, 2u);
    EXPECT_EQ(r.length, headers.size() * 1152);
    EXPECT_GE(r.length, frames + 576);
    EXPECT_LT(r.length, frames + 576 + 2 * 1152);
    if (HaveMpg123()) {
      DecodedWav d;
      ASSERT_TRUE(DecodeWithMpg123(mp3, Path("t.wav"), d));
      EXPECT_EQ(d.rate, rate);
      EXPECT_EQ(d.channels, 2u);
      EXPECT_EQ(d.frames, r.length);
    }
  }
  if (!HaveMpg123()) GTEST_SKIP() << "mpg123 not installed; own decoder checked only";
}

TEST_P(PcmOutMp3Test, ChannelsStayApart) {
  const uint32_t rate = GetParam();
  for (bool toneOnRight : {false, true}) {
    ASSERT_TRUE(WriteToneMp3(Path("c.mp3"), 60000,
                             Mp3Options().Rate(rate).High().ToneOnRight(toneOnRight)));
    const ReadBack r = ReadBackMp3(Path("c.mp3"));
    const double tone = toneOnRight ? r.rmsRight : r.rmsLeft;
    const double quiet = toneOnRight ? r.rmsLeft : r.rmsRight;
    EXPECT_NEAR(tone, 10000 / std::sqrt(2.0), 300);
    EXPECT_LT(quiet, 30);
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, PcmOutMp3Test, ::testing::Values(44100u, 48000u));

using Mp3WriterTest = AudioTest;

TEST_F(Mp3WriterTest, QualityAndDoublingReachTheStream) {
  ASSERT_TRUE(WriteToneMp3(Path("q9.mp3"), 20000, Mp3Options().High(false)));
  ASSERT_TRUE(WriteToneMp3(Path("q2.mp3"), 20000, Mp3Options().High()));
  ASSERT_TRUE(WriteToneMp3(Path("q9b.mp3"), 20000, Mp3Options().High(false)));
  EXPECT_NE(ReadBytes(Path("q9.mp3")), ReadBytes(Path("q2.mp3")));
  EXPECT_EQ(ReadBytes(Path("q9.mp3")), ReadBytes(Path("q9b.mp3")));

  auto out = std::make_unique<CPCMOut_MP3>();
  ASSERT_EQ(out->Open(Path("d.mp3"), 44100, "d", "", false, true), AudioResult::kOk);
  for (uint32_t i = 0; i < 30000; ++i) ASSERT_EQ(out->WriteFrame(1000, -1000), AudioResult::kOk);
  EXPECT_EQ(out->GetFrameCount(), 30000u);
  ASSERT_EQ(out->Close(), AudioResult::kOk);
  const ReadBack r = ReadBackMp3(Path("d.mp3"));
  EXPECT_GE(r.length, 60000u + 576);
  EXPECT_LT(r.length, 60000u + 576 + 2 * 1152);
}

TEST_F(Mp3WriterTest, TagFromTheTitle) {
  if (!HaveMutagen()) GTEST_SKIP() << "python3 with mutagen not available";
  const std::string title = "S\xC3\xB6nata f\xC3\xBCr Klavier";
  ASSERT_TRUE(
      WriteToneMp3(Path("t.mp3"), 2000, Mp3Options().Title(title).Tags(Path("none.tags.txt"))));
  auto frames = ReadId3Frames(Path("t.mp3"));
  EXPECT_EQ(frames["TIT2"], title);  // the bytes given, UTF-8
  EXPECT_EQ(frames["TFLT"], "MPG/3");
  EXPECT_EQ(frames["TSSE"].substr(0, 4), "LAME");  // the library's own field
  EXPECT_EQ(frames.size(), 3u);

  // At most 511 bytes of "TIT2=<title>".
  ASSERT_TRUE(WriteToneMp3(Path("long.mp3"), 2000, Mp3Options().Title(std::string(600, 'x'))));
  EXPECT_EQ(ReadId3Frames(Path("long.mp3"))["TIT2"], std::string(506, 'x'));
}

TEST_F(Mp3WriterTest, TagFromTheTagsFile) {
  if (!HaveMutagen()) GTEST_SKIP() << "python3 with mutagen not available";
  const std::string plain = "TIT2=F\xC3\xBCr Elise\nTPE1=Ludwig\n";
  // BOM on every line, CRLF line ends, blank lines, a bare "TALB=" and lines
  // without "=" as fifth byte are all ignored or stripped.
  const std::string noisy =
      "\xEF\xBB\xBFTIT2=F\xC3\xBCr Elise\r\n\r\n\n\xEF\xBB\xBFTPE1=Ludwig\r\nTALB=\r\nhello "
      "world\r\nTIT=Wrong\r\nTPE1\r\n";
  WriteBytes(Path("plain.tags.txt"), Bytes(plain.begin(), plain.end()));
  WriteBytes(Path("noisy.tags.txt"), Bytes(noisy.begin(), noisy.end()));
  ASSERT_TRUE(WriteToneMp3(Path("plain.mp3"), 5000,
                           Mp3Options().Title("ignored").Tags(Path("plain.tags.txt"))));
  ASSERT_TRUE(WriteToneMp3(Path("noisy.mp3"), 5000,
                           Mp3Options().Title("other").Tags(Path("noisy.tags.txt"))));
  EXPECT_EQ(ReadBytes(Path("plain.mp3")), ReadBytes(Path("noisy.mp3")));
  auto frames = ReadId3Frames(Path("plain.mp3"));
  EXPECT_EQ(frames["TIT2"], "F\xC3\xBCr Elise");
  EXPECT_EQ(frames["TPE1"], "Ludwig");
  EXPECT_EQ(frames["TFLT"], "MPG/3");
  EXPECT_EQ(frames.count("TALB"), 0u);
  EXPECT_EQ(frames.size(), 4u);  // with TSSE

  // A line longer than 1023 bytes arrives in pieces, each a line of its own;
  // a CR inside a line ends it. No title comes from the file name.
  const std::string pieces = "TPE2=" + std::string(1018, 'a') + "TCOM=Piece\nTPE1=Art\rist\n";
  WriteBytes(Path("pieces.tags.txt"), Bytes(pieces.begin(), pieces.end()));
  ASSERT_TRUE(WriteToneMp3(Path("pieces.mp3"), 5000,
                           Mp3Options().Title("song").Tags(Path("pieces.tags.txt"))));
  frames = ReadId3Frames(Path("pieces.mp3"));
  EXPECT_EQ(frames["TPE2"], std::string(1018, 'a'));
  EXPECT_EQ(frames["TCOM"], "Piece");
  EXPECT_EQ(frames["TPE1"], "Art");
  EXPECT_EQ(frames.count("TIT2"), 0u);
}

TEST_F(Mp3WriterTest, FailuresAndRelease) {
  auto out = std::make_unique<CPCMOut_MP3>();
  EXPECT_EQ(out->Close(), AudioResult::kOk);
  EXPECT_EQ(out->Open(Path("no/dir/o.mp3"), 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_FALSE(fs::exists(Path("no")));
  EXPECT_EQ(out->WriteFrame(1, 1), AudioResult::kFailed);
  // The tag cannot be written: open fails, and the device stays.
  EXPECT_EQ(out->Open("/dev/full", 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_TRUE(fs::exists("/dev/full"));

  // Room for the tag and a little more: the first block cannot be written,
  // which fails the 48000th frame; the flush at Close fails too.
  ASSERT_TRUE(WriteToneMp3(Path("probe.mp3"), 10));
  const size_t tagBytes = Id3v2Bytes(ReadBytes(Path("probe.mp3")));
  FileSizeLimit limit(tagBytes + 1000);
  ASSERT_EQ(out->Open(Path("full.mp3"), 44100, "probe", "", false, false), AudioResult::kOk);
  for (uint32_t i = 0; i < 47999; ++i) ASSERT_EQ(out->WriteFrame(1, 1), AudioResult::kOk) << i;
  EXPECT_EQ(out->WriteFrame(1, 1), AudioResult::kFailed);
  EXPECT_EQ(out->GetFrameCount(), 47999u);
  EXPECT_EQ(out->Close(), AudioResult::kFailed);
  EXPECT_EQ(out->Close(), AudioResult::kOk);
  EXPECT_EQ(out->WriteFrame(1, 1), AudioResult::kFailed);
}

}  // namespace
}  // namespace tonvelo::test
