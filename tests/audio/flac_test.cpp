// The FLAC writer and reader, each checked against the flac and metaflac
// tools and against the other.

#include "audio/pcm_in_flac.h"
#include "audio/pcm_out_flac.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using FlacTest = AudioTest;

bool HaveFlac() { return HaveTool("flac --version") && HaveTool("metaflac --version"); }

// Frame i: a tone on the left, a ramp over the whole 16-bit range on the right.
std::vector<int16_t> TestFrames(uint32_t frames, uint32_t rate) {
  std::vector<int16_t> s;
  for (uint32_t i = 0; i < frames; ++i) {
    s.push_back(Tone(i, rate));
    s.push_back(static_cast<int16_t>(i * 7919u));
  }
  return s;
}

bool WriteFlac(const fs::path& path, const std::vector<int16_t>& interleaved, uint32_t rate,
               const std::string& title, const fs::path& tags = {}, bool doubled = false) {
  CPCMOut_FLAC out;
  if (out.Open(path, rate, title, tags, false, doubled) != AudioResult::kOk) return false;
  for (size_t i = 0; i + 1 < interleaved.size(); i += 2) {
    if (out.WriteFrame(interleaved[i], interleaved[i + 1]) != AudioResult::kOk) return false;
  }
  return out.Close() == AudioResult::kOk;
}

std::vector<int16_t> ReadAllFlac(CPCMIn_FLAC& in) {
  std::vector<int16_t> s;
  for (uint32_t i = 0; i < in.GetLength(); ++i) {
    PcmFrame f{0, 0};
    if (in.ReadFrame(f) != AudioResult::kOk) break;
    s.push_back(f.left);
    s.push_back(f.right);
  }
  return s;
}

std::vector<int16_t> DecodeWithFlac(const fs::path& flac, const fs::path& raw) {
  if (RunCommand("flac -d -s -f --force-raw-format --endian=little --sign=signed -o " + Quote(raw) +
                 " " + Quote(flac)) != 0) {
    return {};
  }
  const Bytes b = ReadBytes(raw);
  std::vector<int16_t> s;
  for (size_t o = 0; o + 1 < b.size(); o += 2)
    s.push_back(static_cast<int16_t>(b[o] | b[o + 1] << 8));
  return s;
}

TEST_F(FlacTest, LosslessAtBothRatesThroughBothDecoders) {
  // Blocks are encoded 4096 frames at a time: one partial block, an exact
  // block, and blocks with a remainder.
  for (const auto& [rate, frames] : {std::pair{44100u, 1000u}, {48000u, 4096u}, {44100u, 50001u}}) {
    SCOPED_TRACE(frames);
    const std::vector<int16_t> samples = TestFrames(frames, rate);
    ASSERT_TRUE(WriteFlac(Path("t.flac"), samples, rate, "t"));
    CPCMIn_FLAC in;
    ASSERT_EQ(in.Open(Path("t.flac")), AudioResult::kOk);
    EXPECT_EQ(Describe(in), (Format{rate, 2, 16, frames}));
    EXPECT_EQ(ReadAllFlac(in), samples);
    PcmFrame past;
    EXPECT_EQ(in.ReadFrame(past), AudioResult::kFailed);
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
    EXPECT_EQ(ReadAllFlac(in), samples);
    if (HaveFlac()) {
      EXPECT_EQ(RunCommand("flac -t -s " + Quote(Path("t.flac"))), 0);
      EXPECT_EQ(DecodeWithFlac(Path("t.flac"), Path("t.raw")), samples);
    }
  }

  // Doubling stores each frame twice and counts it once.
  CPCMOut_FLAC out;
  ASSERT_EQ(out.Open(Path("d.flac"), 44100, "d", "", false, true), AudioResult::kOk);
  for (int16_t i = 0; i < 3000; ++i) ASSERT_EQ(out.WriteFrame(i, -i), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 3000u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  CPCMIn_FLAC in;
  ASSERT_EQ(in.Open(Path("d.flac")), AudioResult::kOk);
  const std::vector<int16_t> d = ReadAllFlac(in);
  ASSERT_EQ(d.size(), 12000u);
  EXPECT_EQ(std::vector<int16_t>(d.begin() + 4000, d.begin() + 4004),
            (std::vector<int16_t>{1000, -1000, 1000, -1000}));
  if (!HaveFlac()) GTEST_SKIP() << "flac not installed; own reader checked only";
}

TEST_F(FlacTest, TagsFileLinesBecomeVorbisComments) {
  if (!HaveFlac()) GTEST_SKIP() << "metaflac not installed";
  auto tagsOf = [&](const std::string& name) {
    std::string out;
    RunCommand("metaflac --export-tags-to=- " + Quote(Path(name)), &out);
    return out;
  };
  // Mapped frames only, a later DATE replaces the earlier one, a comment's
  // description is dropped, bytes that are not UTF-8 are read as Latin-1.
  const std::string tags =
      "\xEF\xBB\xBFTIT2=F\xC3\xBCr "
      "Elise\r\nTPE1=\xD0\xA1\xD0\xBA\xD1\x80\xD1\x8F\xD0\xB1\xD0\xB8\xD0\xBD\n"
      "TALB=Album\nTRCK=3/12\nTYER=1810\nTDRC=1867\nTCON=Classical\nCOMM=eng=Late\n"
      "TCOM=Beethoven\nTXXX=a=b\nTIT3=\xE9t\xE9\nTALB\n";
  WriteBytes(Path("s.tags.txt"), Bytes(tags.begin(), tags.end()));
  ASSERT_TRUE(WriteFlac(Path("s.flac"), TestFrames(100, 44100), 44100, "s", Path("s.tags.txt")));
  EXPECT_EQ(
      tagsOf("s.flac"),
      "TITLE=F\xC3\xBCr Elise\nARTIST=\xD0\xA1\xD0\xBA\xD1\x80\xD1\x8F\xD0\xB1\xD0\xB8\xD0\xBD\n"
      "ALBUM=Album\nTRACKNUMBER=3/12\nDATE=1867\nGENRE=Classical\nCOMMENT=Late\n");
  WriteBytes(Path("l.tags.txt"), {'T', 'I', 'T', '2', '=', 0xE9, 't', 0xE9});
  ASSERT_TRUE(WriteFlac(Path("l.flac"), {}, 44100, "l", Path("l.tags.txt")));
  EXPECT_EQ(tagsOf("l.flac"), "TITLE=\xC3\xA9t\xC3\xA9\n");
  // Without a tags file the music file's name is the title.
  ASSERT_TRUE(WriteFlac(Path("n.flac"), {}, 48000, "Sonate \xC3\xA0 deux", Path("none.tags.txt")));
  EXPECT_EQ(tagsOf("n.flac"), "TITLE=Sonate \xC3\xA0 deux\n");
}

TEST_F(FlacTest, FailuresBecomeOne) {
  CPCMOut_FLAC out;
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(out.Open(Path("no/dir/o.flac"), 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  // The stream header cannot be written; the device stays.
  EXPECT_EQ(out.Open("/dev/full", 44100, "t", "", false, false), AudioResult::kFailed);
  EXPECT_TRUE(fs::exists("/dev/full"));
  {
    // A disk that fills while blocks are written fails a write or the close.
    FileSizeLimit limit(20000);
    ASSERT_EQ(out.Open(Path("full.flac"), 44100, "t", "", false, false), AudioResult::kOk);
    bool failed = false;
    for (uint32_t i = 0; i < 40000 && !failed; ++i)
      failed = out.WriteFrame(Tone(i, 44100), static_cast<int16_t>(i * 7919u)) != AudioResult::kOk;
    EXPECT_EQ(out.Close(), AudioResult::kFailed);
  }

  // The reader: a cut-off stream fails before its stated end; a stream that
  // does not state its length is counted; a mono one fills only the left.
  const std::vector<int16_t> samples = TestFrames(30000, 44100);
  ASSERT_TRUE(WriteFlac(Path("full.flac"), samples, 44100, "t"));
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
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  EXPECT_EQ(in.Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in.Close(), AudioResult::kFailed);

  if (!HaveFlac()) GTEST_SKIP() << "flac not installed";
  std::vector<int16_t> mono(samples.begin(), samples.begin() + 9000);
  // Raw samples through a pipe: the stream cannot state its length.
  Bytes raw;
  for (int16_t v : mono) PutLE(raw, static_cast<uint16_t>(v), 2);
  WriteBytes(Path("m.raw"), raw);
  ASSERT_EQ(RunCommand("flac -s -c --force-raw-format --endian=little --sign=signed --channels=1 "
                       "--bps=16 --sample-rate=48000 - < " +
                       Quote(Path("m.raw")) + " 2>/dev/null | cat > " + Quote(Path("m.flac"))),
            0);
  ASSERT_EQ(in.Open(Path("m.flac")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{48000, 1, 16, 9000}));
  for (uint32_t i = 0; i < 9000; ++i) {
    PcmFrame m{0, 1234};
    ASSERT_EQ(in.ReadFrame(m), AudioResult::kOk);
    ASSERT_EQ(std::make_pair(m.left, m.right), std::make_pair(mono[i], int16_t{1234})) << i;
  }
}

}  // namespace
}  // namespace tonvelo::test
