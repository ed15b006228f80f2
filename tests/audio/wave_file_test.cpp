// Byte files, the WAVE file and the WAV reader and writer.

#include "audio/wave_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "audio/pcm_in_wav.h"
#include "audio/pcm_out_wav.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using WaveTest = AudioTest;

Bytes Samples16(std::initializer_list<int16_t> samples) {
  Bytes out;
  for (int16_t s : samples) PutLE(out, static_cast<uint16_t>(s), 2);
  return out;
}

TEST_F(WaveTest, ByteFileShortTransfersFailAndOnlyFilesAreDeleted) {
  FileHandle h;
  char buf[16];
  ASSERT_TRUE(file_open_write(Path("f"), h) && file_write(h, "abcdefgh", 8) && file_close(h));
  ASSERT_TRUE(file_open_read(Path("f"), h));
  EXPECT_FALSE(file_read(h, buf, 9));  // a short read at the end is a failure
  ASSERT_TRUE(file_seek(h, 5));
  EXPECT_EQ(file_read_available(h, buf, sizeof buf), 3u);
  EXPECT_TRUE(file_close(h));
  EXPECT_FALSE(file_open_read(dir_, h));
  EXPECT_EQ(h, kInvalidFile);
  // A pipe is never read (its open would wait); delete takes only files.
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(file_open_read(Path("fifo"), h));
  EXPECT_EQ(errno, ENOTSUP);
  fs::create_directory(Path("sub"));
  for (const fs::path& p : {fs::path("/dev/full"), Path("fifo"), Path("sub")}) {
    EXPECT_FALSE(file_delete(p) || !fs::exists(p)) << p;
  }
  EXPECT_TRUE(file_delete(Path("f")) && !fs::exists(Path("f")));
}

// Exact bytes of 8-bit mono (a frame still carries two samples, the low byte
// of each) and of 16-bit stereo over 64 KiB blocks.
TEST_F(WaveTest, WrittenFilesAreExact) {
  const auto write = [this](const char* name, uint16_t bits, uint16_t channels, uint32_t rate,
                            const std::vector<int16_t>& s) {
    CWaveFile w;
    EXPECT_EQ(w.OpenWrite(Path(name), rate, bits, channels), WaveResult::kOk);
    for (size_t i = 0; i < s.size(); i += 2)
      EXPECT_EQ(w.WriteFrame(s[i], s[i + 1]), WaveResult::kOk);
    EXPECT_EQ(w.GetFrameCount(), s.size() / 2);
    EXPECT_EQ(w.Finish(), WaveResult::kOk);
    return ReadBytes(Path(name));
  };
  EXPECT_EQ(write("8.wav", 8, 1, 22050, {0x1234, -1}),
            RiffBuilder().Fmt(1, 22050, 8).Chunk("data", {0x34, 0xFF}).Build());
  std::vector<int16_t> s;  // four blocks and a partial one
  for (uint32_t i = 0; i < 70001; ++i) s.insert(s.end(), {int16_t(i), int16_t(~i)});
  EXPECT_EQ(write("long.wav", 16, 2, 44100, s), BuildWav16(44100, 2, s));
  CWaveFile r;  // a seek drops what was read ahead
  PcmFrame f;
  ASSERT_EQ(r.OpenRead(Path("long.wav")), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  ASSERT_EQ(r.SeekFrame(12345), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.right, static_cast<int16_t>(~12345u));
  EXPECT_EQ(r.SeekFrame(70001), WaveResult::kInvalidRequest);
}

// A writer closed without Finish (by its destructor or by opening again)
// patches only the RIFF size.
TEST_F(WaveTest, BadRequestsUnwritableFilesAndCloseWithoutFinish) {
  CWaveFile w;
  EXPECT_EQ(w.OpenWrite(Path("a.wav"), 44100, 24, 2), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.OpenWrite(Path("a.wav"), 44100, 16, 3), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.OpenWrite("", 44100, 16, 2), WaveResult::kInvalidRequest);
  EXPECT_FALSE(fs::exists(Path("a.wav")));
  EXPECT_EQ(w.WriteFrame(1, 2), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.SeekFrame(0), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.Finish(), WaveResult::kOk);
  EXPECT_EQ(w.OpenWrite(Path("missing/x.wav"), 44100, 16, 2), WaveResult::kFileError);
  EXPECT_FALSE(fs::exists(Path("missing")));
  // The header cannot be written: the failed file is deleted, but a device never.
  EXPECT_EQ(w.OpenWrite("/dev/full", 44100, 16, 2), WaveResult::kFileError);
  EXPECT_TRUE(fs::exists("/dev/full"));
  EXPECT_EQ(w.WriteFrame(1, 1), WaveResult::kInvalidRequest);
  WriteBytes(Path("in.wav"), BuildWav16(44100, 2, {1, 2}));
  for (bool reopen : {false, true}) {
    {
      CWaveFile o;
      ASSERT_EQ(o.OpenWrite(Path("o.wav"), 44100, 16, 2), WaveResult::kOk);
      for (int i = 0; i < 5; ++i) ASSERT_EQ(o.WriteFrame(7, 8), WaveResult::kOk);
      EXPECT_EQ(reopen ? o.OpenRead(Path("in.wav")) : WaveResult::kOk, WaveResult::kOk);
    }
    const Bytes b = ReadBytes(Path("o.wav"));
    EXPECT_EQ(std::make_tuple(b.size(), LE32(b, 4), LE32(b, 40)),
              std::make_tuple(size_t{64}, 56u, 0u));
  }
}

// Each file through CWaveFile and the WAV reader: the open result, the format,
// the last frame read and its result (mono leaves right as it was, 8 bits
// zero-extend, past the data chunk come the bytes after it), then a rewind.
TEST_F(WaveTest, ReadsTheseLayoutsAndRejectsThose) {
  const Bytes d = Samples16({10, -10, 20, -20});
  const auto fmt = [](uint16_t ch = 2, uint16_t bits = 16, uint32_t rate = 44100, size_t more = 0) {
    return RiffBuilder().Fmt(ch, rate, bits, more);
  };
  const Bytes good = fmt().Chunk("data", d).Build();
  const auto patched = [&](size_t offset, uint8_t value) {
    Bytes b = good;
    b[offset] = value;
    return b;
  };
  constexpr WaveResult kBad = WaveResult::kFileError;
  const struct {
    const char* name;
    Bytes file;
    WaveResult open = WaveResult::kOk;
    Format format = {44100, 2, 16, 2};
    int16_t left = 20, right = -20;
    WaveResult read = WaveResult::kOk;
  } cases[] = {
      // clang-format off
      {"fmt of 18 bytes", fmt(2, 16, 48000, 2).Chunk("data", d).Build(), {}, {48000, 2, 16, 2}},
      {"odd chunk without pad byte", fmt().Chunk("junk", {1, 2, 3}).Chunk("data", d).Build()},
      {"RIFX id", RiffBuilder("RIFX").Fmt(2, 44100, 16).Chunk("data", d).Build()},
      {"data before fmt keeps defaults", RiffBuilder().Chunk("data", d).Fmt(1, 8000, 8).Build()},
      {"odd data size", fmt().Chunk("data", d, 11).Build()},
      {"no frames", fmt().Chunk("data", {}).Build(), {}, {44100, 2, 16, 0}, 111, 222},
      {"data past its chunk", fmt().Chunk("data", Samples16({1, 2}), 400).Chunk("LIST", Samples16({3, 4, 5})).Build(), {}, {44100, 2, 16, 100}, 3, 4, kBad},
      {"24 bits reported, not read", fmt(2, 24).Chunk("data", Bytes(12)).Build(), {}, {44100, 2, 24, 2}, 111, 222, WaveResult::kInvalidRequest},
      {"16-bit mono", fmt(1).Chunk("data", Samples16({-5})).Build(), {}, {44100, 1, 16, 1}, -5, 222},
      {"8-bit mono", fmt(1, 8).Chunk("data", {0x00, 0xFF}).Build(), {}, {44100, 1, 8, 2}, 255, 222},
      {"8-bit stereo", fmt(2, 8).Chunk("data", {0xFF, 0x01}).Build(), {}, {44100, 2, 8, 1}, 255, 1},
      {"empty", {}, kBad},
      {"not WAVE", patched(8, 'A'), kBad},
      {"no data chunk", fmt().Chunk("LIST", {1, 2}).Build(), kBad},
      {"4 bits", fmt(2, 4).Chunk("data", d).Build(), kBad},
      {"3 channels", fmt(3).Chunk("data", d).Build(), kBad},
      {"wrong byte rate", patched(28, 0x11), kBad},  // 176401
      {"wrong block align", patched(32, 2), kBad},
      {"size wrapping onto the same chunk", fmt().Chunk("junk", {}, 0xFFFFFFF8u).Build(), kBad},
      // clang-format on
  };
  for (const auto& c : cases) {
    WriteBytes(Path("in.wav"), c.file);
    CWaveFile r;
    CPCMIn_WAV in;
    ASSERT_EQ(r.OpenRead(Path("in.wav")), c.open) << c.name;
    ASSERT_EQ(in.Open(Path("in.wav")) == AudioResult::kOk, c.open == WaveResult::kOk) << c.name;
    if (c.open != WaveResult::kOk) continue;
    EXPECT_EQ(Describe(in), c.format) << c.name;
    WaveResult res = WaveResult::kOk;
    PcmFrame f{111, 222};
    for (uint32_t i = 0; i < c.format[3] && res == WaveResult::kOk; ++i) res = r.ReadFrame(f);
    EXPECT_EQ(std::make_tuple(res, f.left, f.right), std::make_tuple(c.read, c.left, c.right))
        << c.name;
    EXPECT_EQ(r.SeekFrame(0), c.format[3] > 0 ? WaveResult::kOk : WaveResult::kInvalidRequest);
  }
  CWaveFile r;
  EXPECT_EQ(r.OpenRead(Path("absent.wav")), kBad);
  EXPECT_EQ(r.OpenRead(""), WaveResult::kInvalidRequest);
}

// Doubled frames are stored twice, counted once; when the second copy of a
// frame fails, the frame is counted and the failure reported.
TEST_F(WaveTest, WavWriterDoublesFrames) {
  CPCMOut_WAV out;
  ASSERT_EQ(out.Open(Path("d.wav"), 44100, "", "", false, true), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(5, -6), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(-32768, 32767), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 2u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(ReadBytes(Path("d.wav")),
            BuildWav16(44100, 2, {5, -6, 5, -6, -32768, 32767, -32768, 32767}));
  // The header and one 64 KiB block fit, the next not: stored frame 32765, the
  // second copy of frame 16382, fails. That block is gone; the next cannot be
  // flushed at Close.
  FileSizeLimit limit(100000);
  ASSERT_EQ(out.Open(Path("full.wav"), 44100, "", "", false, true), AudioResult::kOk);
  for (uint32_t i = 0; i < 16382; ++i) ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk) << i;
  EXPECT_EQ(out.WriteFrame(1, 2), AudioResult::kFailed);
  EXPECT_EQ(out.GetFrameCount(), 16383u);
  ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
  EXPECT_EQ(out.Close(), AudioResult::kFailed);
}

}  // namespace
}  // namespace tonvelo::test
