// The MP3 output writer and the MP3 accompaniment reader, each checked
// against the other and against mpg123, lame and mutagen.

#include "audio/pcm_in_mp3.h"
#include "audio/pcm_out_mp3.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using Channels = std::pair<std::vector<int16_t>, std::vector<int16_t>>;

// Reads until the reader fails or stops touching the frame (its end-of-stream
// answer); the tone never reaches the sentinel value.
Channels ReadAll(CPCMIn& in) {
  constexpr int16_t kSentinel = 32000;
  Channels c;
  for (PcmFrame f{kSentinel, kSentinel}; in.ReadFrame(f) == AudioResult::kOk && f.left != kSentinel;
       f = {kSentinel, kSentinel}) {
    c.first.push_back(f.left);
    c.second.push_back(f.right);
  }
  return c;
}

// Root mean square over the samples well inside the signal.
double Rms(const std::vector<int16_t>& s) {
  double sum = 0;
  for (size_t i = 4000; i + 4000 < s.size(); ++i) sum += static_cast<double>(s[i]) * s[i];
  return std::sqrt(sum / static_cast<double>(s.size() - 8000));
}

class Mp3RateTest : public AudioTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(Mp3RateTest, WrittenStreamDecodesToTheRateAndLength) {
  const uint32_t rate = GetParam();
  // One partial block, exactly one block, and blocks with a remainder.
  for (uint32_t frames : {1000u, 48000u, 100001u}) {
    SCOPED_TRACE(frames);
    const fs::path mp3 = Path("t.mp3");
    ASSERT_TRUE(WriteToneMp3(mp3, frames, rate, frames == 100001));
    const Bytes b = ReadBytes(mp3);
    ASSERT_GT(Id3v2Bytes(b), 10u);
    std::vector<FrameHeader> headers;
    ASSERT_TRUE(WalkFrames(b, headers)) << "bytes outside MPEG frames";
    for (const FrameHeader& h : headers) {  // plain stereo, not copyright, original
      ASSERT_EQ(std::tie(h.bitrateKbps, h.rate, h.modeBits), std::make_tuple(192, rate, 0x04));
    }
    // No VBR information frame at the start, no ID3v1 tag at the end.
    const std::string head(b.begin() + headers[0].offset, b.begin() + headers[1].offset);
    EXPECT_EQ(head.find("Xing"), std::string::npos);
    EXPECT_EQ(head.find("Info"), std::string::npos);
    EXPECT_NE(std::string(b.end() - 128, b.end()).substr(0, 3), "TAG");

    // Whole frames of 1152: the input, the encoder's 576-sample delay, and
    // padding up to less than one frame beyond one more frame.
    const auto length = static_cast<uint32_t>(headers.size() * 1152);
    EXPECT_GE(length, frames + 576);
    EXPECT_LT(length, frames + 576 + 2 * 1152);
    CPCMIn_MP3 in;
    ASSERT_EQ(in.Open(mp3), AudioResult::kOk);
    EXPECT_EQ(Describe(in), (Format{rate, 2, 16, length}));
    const Channels first = ReadAll(in);
    EXPECT_EQ(first.first.size(), length);
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
    EXPECT_EQ(ReadAll(in), first);
    if (frames == 100001) {  // the tone stays on its channel
      EXPECT_NEAR(Rms(first.first), 10000 / std::sqrt(2.0), 300);
      EXPECT_LT(Rms(first.second), 30);
    }
    if (HaveMpg123()) {
      EXPECT_EQ(DecodeWithMpg123(mp3, Path("t.wav")), (Format{rate, 2, 16, length}));
    }
  }
  if (!HaveMpg123()) GTEST_SKIP() << "mpg123 not installed; own decoder checked only";
}

INSTANTIATE_TEST_SUITE_P(Rates, Mp3RateTest, ::testing::Values(44100u, 48000u));

using Mp3WriterTest = AudioTest;
using Mp3ReaderTest = AudioTest;

TEST_F(Mp3WriterTest, QualityAndDoublingReachTheStream) {
  ASSERT_TRUE(WriteToneMp3(Path("q9.mp3"), 20000));
  ASSERT_TRUE(WriteToneMp3(Path("q2.mp3"), 20000, 44100, true));
  ASSERT_TRUE(WriteToneMp3(Path("q9b.mp3"), 20000));
  EXPECT_NE(ReadBytes(Path("q9.mp3")), ReadBytes(Path("q2.mp3")));
  EXPECT_EQ(ReadBytes(Path("q9.mp3")), ReadBytes(Path("q9b.mp3")));

  CPCMOut_MP3 out;
  ASSERT_EQ(out.Open(Path("d.mp3"), 44100, "d", "", false, true), AudioResult::kOk);
  for (uint32_t i = 0; i < 30000; ++i) ASSERT_EQ(out.WriteFrame(1000, -1000), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 30000u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  CPCMIn_MP3 in;
  ASSERT_EQ(in.Open(Path("d.mp3")), AudioResult::kOk);
  EXPECT_GE(in.GetLength(), 60000u + 576);
  EXPECT_LT(in.GetLength(), 60000u + 576 + 2 * 1152);
}

TEST_F(Mp3WriterTest, TagComesFromTheTagsFileElseTheTitle) {
  if (!HaveTool(Python() + " -c 'import mutagen'")) GTEST_SKIP() << "no python3 with mutagen";
  const std::string title = "S\xC3\xB6nata f\xC3\xBCr Klavier";
  ASSERT_TRUE(WriteToneMp3(Path("t.mp3"), 2000, 44100, false, title, Path("none.tags.txt")));
  auto frames = ReadId3Frames(Path("t.mp3"));
  EXPECT_EQ(frames["TIT2"], title);  // the bytes given, UTF-8
  EXPECT_EQ(frames["TFLT"], "MPG/3");
  EXPECT_EQ(frames["TSSE"].substr(0, 4), "LAME");  // the library's own field
  EXPECT_EQ(frames.size(), 3u);
  // At most 511 bytes of "TIT2=<title>".
  ASSERT_TRUE(WriteToneMp3(Path("long.mp3"), 2000, 44100, false, std::string(600, 'x')));
  EXPECT_EQ(ReadId3Frames(Path("long.mp3"))["TIT2"], std::string(506, 'x'));

  // BOM on every line, CRLF line ends, blank lines, a bare "TALB=" and lines
  // without "=" as fifth byte change nothing; no title comes from the name.
  // A line longer than 1023 bytes arrives in pieces, each a line of its own;
  // a CR inside a line ends it.
  const std::string plain = "TIT2=F\xC3\xBCr Elise\nTPE1=Ludwig\n";
  const std::string noisy =
      "\xEF\xBB\xBFTIT2=F\xC3\xBCr Elise\r\n\r\n\n\xEF\xBB\xBFTPE1=Ludwig\r\nTALB=\r\nhello "
      "world\r\nTIT=Wrong\r\nTPE1\r\n";
  const std::string pieces = "TPE2=" + std::string(1018, 'a') + "TCOM=Piece\nTPE1=Art\rist\n";
  for (const auto& [name, text] :
       {std::pair{"plain", plain}, {"noisy", noisy}, {"pieces", pieces}}) {
    const std::string tags = std::string(name) + ".tags.txt";
    WriteBytes(Path(tags), Bytes(text.begin(), text.end()));
    ASSERT_TRUE(
        WriteToneMp3(Path(std::string(name) + ".mp3"), 5000, 44100, false, name, Path(tags)));
  }
  EXPECT_EQ(ReadBytes(Path("plain.mp3")), ReadBytes(Path("noisy.mp3")));
  frames = ReadId3Frames(Path("plain.mp3"));
  EXPECT_EQ(frames, (std::map<std::string, std::string>{{"TIT2", "F\xC3\xBCr Elise"},
                                                        {"TPE1", "Ludwig"},
                                                        {"TFLT", "MPG/3"},
                                                        {"TSSE", frames["TSSE"]}}));
  frames = ReadId3Frames(Path("pieces.mp3"));
  EXPECT_EQ(frames["TPE2"], std::string(1018, 'a'));
  EXPECT_EQ(frames["TCOM"], "Piece");
  EXPECT_EQ(frames["TPE1"], "Art");
}

// The ID3v2 tag the library makes of fields handed over as plain bytes, the
// way every field was stored before text outside ASCII became UTF-16.
Bytes PlainLibraryTag(const std::vector<std::string>& fields) {
  lame_t lame = lame_init();
  id3tag_init(lame);
  for (const std::string& field : fields) id3tag_set_fieldvalue(lame, field.c_str());
  id3tag_v2_only(lame);
  lame_set_write_id3tag_automatic(lame, 0);
  Bytes tag(CPCMOut_MP3::kEncodedBytes);
  if (lame_init_params(lame) >= 0) tag.resize(lame_get_id3v2_tag(lame, tag.data(), tag.size()));
  lame_close(lame);
  return tag;
}

TEST_F(Mp3WriterTest, TextOutsideAsciiIsUtf16AndAsciiKeepsItsBytes) {
  if (!HaveTool(Python() + " -c 'import mutagen'")) GTEST_SKIP() << "no python3 with mutagen";
  const std::string cyrillic = "\xD0\xA1\xD0\xBA\xD1\x80\xD1\x8F\xD0\xB1\xD0\xB8\xD0\xBD";
  const std::string tags = "TIT2=F\xC3\xBCr Elise \xF0\x9F\x8E\xB9\nTPE1=" + cyrillic +
                           "\nTALB=Plain\nTCOM=\xE9t\xE9\nCOMM=note=Op. " + cyrillic + "\n";
  WriteBytes(Path("u.tags.txt"), Bytes(tags.begin(), tags.end()));
  ASSERT_TRUE(WriteToneMp3(Path("u.mp3"), 2000, 44100, false, "u", Path("u.tags.txt")));
  std::map<std::string, int> encodings;
  auto frames = ReadId3Frames(Path("u.mp3"), &encodings);
  // Text outside ASCII (beyond the BMP too) comes back exactly, as UTF-16;
  // ASCII and bytes that are not UTF-8 stay plain, as they were.
  EXPECT_EQ(frames["TIT2"], "F\xC3\xBCr Elise \xF0\x9F\x8E\xB9");
  EXPECT_EQ(frames["TPE1"], cyrillic);
  EXPECT_EQ(frames["COMM"], "Op. " + cyrillic);
  EXPECT_EQ(frames["TCOM"], "\xE9t\xE9");
  std::string stored;  // each frame's text encoding: 0 Latin-1, 1 UTF-16
  for (const auto& [id, encoding] : encodings) stored += id + std::to_string(encoding) + " ";
  EXPECT_EQ(stored, "COMM1 TALB0 TCOM0 TFLT0 TIT21 TPE11 TSSE0 ");
  // A title cut at 511 bytes never keeps half a character.
  ASSERT_TRUE(WriteToneMp3(Path("t.mp3"), 2000, 44100, false, std::string(505, 'x') + cyrillic));
  EXPECT_EQ(ReadId3Frames(Path("t.mp3"))["TIT2"], std::string(505, 'x'));

  // ASCII-only tags are the bytes they always were.
  const std::string ascii = "TIT2=Fur Elise\nTPE1=Ludwig\nCOMM=d=text\n";
  WriteBytes(Path("a.tags.txt"), Bytes(ascii.begin(), ascii.end()));
  ASSERT_TRUE(WriteToneMp3(Path("a.mp3"), 2000, 44100, false, "a", Path("a.tags.txt")));
  ASSERT_TRUE(WriteToneMp3(Path("n.mp3"), 2000, 44100, false, "Plain title"));
  for (const auto& [name, fields] :
       {std::pair{"a.mp3", std::vector<std::string>{"TIT2=Fur Elise", "TPE1=Ludwig", "COMM=d=text",
                                                    "TFLT=MPG/3"}},
        {"n.mp3", {"TIT2=Plain title", "TFLT=MPG/3"}}}) {
    const Bytes b = ReadBytes(Path(name));
    EXPECT_EQ(Bytes(b.begin(), b.begin() + Id3v2Bytes(b)), PlainLibraryTag(fields)) << name;
  }
}

TEST_F(Mp3WriterTest, UnwritableFolderAndFullDisk) {
  CPCMOut_MP3 out;
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(out.Open(Path("no/dir/o.mp3"), 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_FALSE(fs::exists(Path("no")));
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  // The tag cannot be written: open fails, and the device stays.
  EXPECT_EQ(out.Open("/dev/full", 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_TRUE(fs::exists("/dev/full"));

  // Room for the tag and a little more: the first block cannot be written,
  // which fails the 48000th frame; the flush at Close fails too.
  ASSERT_TRUE(WriteToneMp3(Path("probe.mp3"), 10, 44100, false, "probe"));
  FileSizeLimit limit(Id3v2Bytes(ReadBytes(Path("probe.mp3"))) + 1000);
  ASSERT_EQ(out.Open(Path("full.mp3"), 44100, "probe", "", false, false), AudioResult::kOk);
  for (uint32_t i = 0; i < 47999; ++i) ASSERT_EQ(out.WriteFrame(1, 1), AudioResult::kOk) << i;
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  EXPECT_EQ(out.GetFrameCount(), 47999u);
  EXPECT_EQ(out.Close(), AudioResult::kFailed);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
}

// A mono tone encoded by lame, independently of the product's writer.
fs::path EncodeWithLame(const fs::path& dir, uint32_t rate, uint32_t frames,
                        const std::string& options) {
  std::vector<int16_t> mono(frames);
  for (uint32_t i = 0; i < frames; ++i) mono[i] = Tone(i, rate);
  WriteBytes(dir / "in.wav", BuildWav16(rate, 1, mono));
  const fs::path mp3 = dir / "lame.mp3";
  return RunCommand("lame --quiet -m m " + options + " " + Quote(dir / "in.wav") + " " +
                    Quote(mp3)) == 0
             ? mp3
             : fs::path();
}

TEST_F(Mp3ReaderTest, MonoAndLowBitrateStreams) {
  if (!HaveTool("lame --version")) GTEST_SKIP() << "lame not installed";
  CPCMIn_MP3 in;
  ASSERT_EQ(in.Open(EncodeWithLame(dir_, 44100, 20000, "-b 128")), AudioResult::kOk);
  EXPECT_EQ(in.GetChannels(), 1u);
  for (uint32_t i = 0; i < in.GetLength(); ++i) {
    PcmFrame f{0, 1234};
    ASSERT_EQ(in.ReadFrame(f), AudioResult::kOk);
    ASSERT_EQ(f.right, 1234) << i;  // mono leaves right untouched
  }

  // 8 kbit/s at 24 kHz: 24-byte frames of 576 samples, so one 32768-byte
  // chunk holds about 786000 samples, more than the decoded buffers.
  const fs::path mp3 = EncodeWithLame(dir_, 24000, 24000 * 40, "-b 8 --resample 24 -t");
  ASSERT_GT(fs::file_size(mp3), CPCMIn_MP3::kChunkBytes);
  ASSERT_EQ(in.Open(mp3), AudioResult::kOk);
  EXPECT_EQ(in.GetSampleRate(), 24000u);
  EXPECT_GT(in.GetLength(), CPCMIn_MP3::kDecodedFrames);
  EXPECT_EQ(ReadAll(in).first.size(), in.GetLength());
  if (HaveMpg123()) {
    EXPECT_EQ(DecodeWithMpg123(mp3, Path("low.wav"))[3], in.GetLength());
  }
}

TEST_F(Mp3ReaderTest, TruncatedAndForeignFiles) {
  ASSERT_TRUE(WriteToneMp3(Path("full.mp3"), 60000));
  Bytes b = ReadBytes(Path("full.mp3"));
  b.resize(b.size() * 2 / 3 + 17);  // ends inside a frame
  WriteBytes(Path("cut.mp3"), b);
  WriteBytes(Path("text.mp3"), Bytes(48, 'x'));
  WriteBytes(Path("empty.mp3"), {});

  CPCMIn_MP3 in;
  ASSERT_EQ(in.Open(Path("full.mp3")), AudioResult::kOk);
  const uint32_t fullLength = in.GetLength();
  ASSERT_EQ(in.Open(Path("cut.mp3")), AudioResult::kOk);
  EXPECT_LT(in.GetLength(), fullLength);
  EXPECT_GT(in.GetLength(), fullLength / 2);
  EXPECT_EQ(ReadAll(in).first.size(), in.GetLength());
  // No stream header: either no open or rate 0, which no output rate matches.
  for (const char* name : {"text.mp3", "empty.mp3"}) {
    if (in.Open(Path(name)) == AudioResult::kOk) {
      EXPECT_EQ(in.GetSampleRate(), 0u) << name;
      EXPECT_EQ(in.GetLength(), 0u) << name;
    }
  }
  EXPECT_EQ(in.Open(Path("absent.mp3")), AudioResult::kFailed);
  EXPECT_EQ(in.Open(dir_), AudioResult::kFailed);
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  EXPECT_EQ(in.Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in.Close(), AudioResult::kFailed);
}

}  // namespace
}  // namespace tonvelo::test
