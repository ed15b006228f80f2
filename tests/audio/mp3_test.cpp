// The MP3 writer and reader, against each other and against mpg123, lame, mutagen.

#include "audio/pcm_in_mp3.h"
#include "audio/pcm_out_mp3.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using Mp3Test = AudioTest;
using Channels = std::pair<std::vector<int16_t>, std::vector<int16_t>>;

// Reads until the reader fails or leaves the frame untouched (its end of stream).
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

// Offsets of the frames after the ID3v2 tag, each MPEG-1 layer III, 192 kbit/s,
// `rate`, plain stereo, original; empty when any byte lies outside them.
std::vector<size_t> FrameOffsets(const Bytes& b, uint32_t rate) {
  const int rateBits = rate == 44100 ? 0 : rate == 48000 ? 1 : 2;
  std::vector<size_t> at;
  size_t o = 10 + (size_t{b[6]} << 21 | size_t{b[7]} << 14 | size_t{b[8]} << 7 | b[9]);
  for (; o + 4 <= b.size() && b[o] == 0xFF && (b[o + 1] & 0xFE) == 0xFA &&
         (b[o + 2] & 0xFC) == (0xB0 | rateBits << 2) && (b[o + 3] & 0xCC) == 0x04;
       o += 144 * 192000 / rate + ((b[o + 2] >> 1) & 1)) {
    at.push_back(o);
  }
  return o == b.size() ? at : std::vector<size_t>{};
}

// mpg123's reading of the stream; all zero on failure.
Format DecodeWithMpg123(const fs::path& mp3, const fs::path& wav) {
  if (RunCommand("mpg123 -q -w " + Quote(wav) + " " + Quote(mp3) + " 2>/dev/null") != 0) return {};
  const Bytes b = ReadBytes(wav);
  if (b.size() < 44 || b[22] * b[34] == 0) return {};
  return {LE32(b, 24), b[22], b[34], LE32(b, 40) / (b[22] * b[34] / 8u)};
}

// One partial block, exactly one block, and blocks with a remainder; the
// quality setting changes the stream, and the same input gives the same bytes.
TEST_F(Mp3Test, WrittenStreamDecodesToTheRateAndLength) {
  for (auto [rate, frames] : {std::pair{44100u, 1000u}, {48000u, 48000u}, {44100u, 100001u}}) {
    SCOPED_TRACE(frames);
    ASSERT_TRUE(WriteToneMp3(Path("t.mp3"), frames, rate, frames > 50000));
    const Bytes b = ReadBytes(Path("t.mp3"));
    ASSERT_TRUE(WriteToneMp3(Path("u.mp3"), frames, rate, frames < 50000));
    EXPECT_NE(ReadBytes(Path("u.mp3")), b);
    ASSERT_TRUE(WriteToneMp3(Path("u.mp3"), frames, rate, frames > 50000));
    EXPECT_EQ(ReadBytes(Path("u.mp3")), b);
    const std::vector<size_t> at = FrameOffsets(b, rate);
    ASSERT_GT(at.size(), 1u) << "bytes outside the expected frames";
    // Whole frames of 1152: input, 576 samples of encoder delay, < 2 frames padding.
    const auto length = static_cast<uint32_t>(at.size() * 1152);
    EXPECT_TRUE(length >= frames + 576 && length < frames + 576 + 2 * 1152) << length;
    CPCMIn_MP3 in;
    ASSERT_EQ(in.Open(Path("t.mp3")), AudioResult::kOk);
    EXPECT_EQ(Describe(in), (Format{rate, 2, 16, length}));
    const Channels first = ReadAll(in);
    EXPECT_EQ(first.first.size(), length);
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
    EXPECT_EQ(ReadAll(in), first);
    EXPECT_EQ(DecodeWithMpg123(Path("t.mp3"), Path("t.wav")), (Format{rate, 2, 16, length}));
  }
}

// The ID3v2 frames as mutagen reads them, sorted: id, encoding (0 Latin-1,
// 1 UTF-16), "=" and the stored bytes; TSSE (the library's version) cut to "LAME".
std::string Id3Frames(const fs::path& mp3) {
  const std::string code =
      "import sys\nfrom mutagen.id3 import ID3\n"
      "for f in sorted(ID3(sys.argv[1], translate=False).values(), key=lambda f: f.FrameID):\n"
      "    t = str(f)[:4] if f.FrameID == 'TSSE' else str(f)\n"
      "    sys.stdout.buffer.write(b'%s%d=%s\\n' % (f.FrameID.encode(), f.encoding,\n"
      "                            t.encode('latin-1' if f.encoding == 0 else 'utf-8')))\n";
  WriteBytes(mp3.string() + ".py", Bytes(code.begin(), code.end()));
  std::string out;
  RunCommand(Python() + " " + Quote(mp3.string() + ".py") + " " + Quote(mp3), &out);
  return out;
}

// A title is cut to 511 bytes of "TIT2=<title>", never inside a character.
// Tags file: BOMs, CRLF, blank lines, "TALB=" and lines without "=" as fifth
// byte change nothing; a line over 1023 bytes arrives in pieces; a CR ends a
// line. Text outside ASCII is UTF-16; ASCII and non-UTF-8 bytes stay plain.
TEST_F(Mp3Test, TagComesFromTheTagsFileElseTheTitle) {
  const std::string cyr = "\xD0\xA1\xD0\xBA\xD1\x80\xD1\x8F\xD0\xB1\xD0\xB8\xD0\xBD";
  const std::string flt = "TFLT0=MPG/3\n";
  const struct {
    std::string name, title, tags, frames;
  } cases[] = {
      {"long", std::string(600, 'x'), "", flt + "TIT20=" + std::string(506, 'x') + "\n"},
      {"cut", std::string(505, 'x') + cyr, "", flt + "TIT20=" + std::string(505, 'x') + "\n"},
      {"pieces", "pieces",
       "TPE2=" + std::string(1018, 'a') +
           "TCOM=Piece\r\n\r\n\nhello world\nTALB=\nTPE1\n\xEF\xBB\xBFTPE1=Art\rist\n",
       "TCOM0=Piece\n" + flt + "TPE10=Art\nTPE20=" + std::string(1018, 'a') + "\n"},
      {"unicode", "u",
       "TIT2=F\xC3\xBCr Elise \xF0\x9F\x8E\xB9\nTPE1=" + cyr +
           "\nTALB=Plain\nTCOM=\xE9t\xE9\nCOMM=note=Op. " + cyr + "\n",
       "COMM1=Op. " + cyr + "\nTALB0=Plain\nTCOM0=\xE9t\xE9\n" + flt +
           "TIT21=F\xC3\xBCr Elise \xF0\x9F\x8E\xB9\nTPE11=" + cyr + "\n"},
  };
  for (const auto& c : cases) {
    const fs::path tags = Path(c.name + ".tags.txt"), mp3 = Path(c.name + ".mp3");
    if (!c.tags.empty()) WriteBytes(tags, Bytes(c.tags.begin(), c.tags.end()));
    ASSERT_TRUE(WriteToneMp3(mp3, 2000, 44100, false, c.title, tags)) << c.name;
    EXPECT_EQ(Id3Frames(mp3), c.frames + "TSSE0=LAME\n") << c.name;
  }
}

// 8 kbit/s mono at 24 kHz by lame: 24-byte frames of 576 samples, so one
// 32768-byte chunk holds about 786000 samples, more than the decoded buffers.
TEST_F(Mp3Test, ReadsALowBitrateMonoStreamByLame) {
  std::vector<int16_t> mono(24000 * 40);
  for (uint32_t i = 0; i < mono.size(); ++i) mono[i] = Tone(i, 24000);
  WriteBytes(Path("in.wav"), BuildWav16(24000, 1, mono));
  ASSERT_EQ(RunCommand("lame --quiet -m m -b 8 --resample 24 -t " + Quote(Path("in.wav")) + " " +
                       Quote(Path("lame.mp3"))),
            0);
  ASSERT_GT(fs::file_size(Path("lame.mp3")), CPCMIn_MP3::kChunkBytes);
  CPCMIn_MP3 in;
  ASSERT_EQ(in.Open(Path("lame.mp3")), AudioResult::kOk);
  EXPECT_EQ(Describe(in),
            (Format{24000, 1, 16, DecodeWithMpg123(Path("lame.mp3"), Path("o.wav"))[3]}));
  EXPECT_GT(in.GetLength(), CPCMIn_MP3::kDecodedFrames);
  const Channels c = ReadAll(in);
  EXPECT_EQ(c.first.size(), in.GetLength());
  EXPECT_EQ(c.second, std::vector<int16_t>(in.GetLength(), 32000));  // mono leaves right untouched
}

// A stream cut inside a frame reads up to the cut. A writer or reader that
// failed to open does nothing (a full disk is the conversion's case).
TEST_F(Mp3Test, CutStreamAndFailedOpens) {
  CPCMOut_MP3 out;
  EXPECT_EQ(out.Open(Path("no/dir/o.mp3"), 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_FALSE(fs::exists(Path("no")));
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  ASSERT_TRUE(WriteToneMp3(Path("full.mp3"), 60000));
  Bytes b = ReadBytes(Path("full.mp3"));
  b.resize(b.size() * 2 / 3 + 17);
  WriteBytes(Path("cut.mp3"), b);
  CPCMIn_MP3 in;
  ASSERT_EQ(in.Open(Path("cut.mp3")), AudioResult::kOk);
  EXPECT_TRUE(in.GetLength() > 30000 && in.GetLength() < 60000) << in.GetLength();
  EXPECT_EQ(ReadAll(in).first.size(), in.GetLength());
  EXPECT_EQ(in.Open(Path("absent.mp3")), AudioResult::kFailed);
  EXPECT_EQ(in.Open(dir_), AudioResult::kFailed);
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  EXPECT_EQ(in.Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in.Close(), AudioResult::kFailed);
}

}  // namespace
}  // namespace tonvelo::test
