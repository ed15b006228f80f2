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
  ASSERT_TRUE(file_open_write("/dev/full", h));
  EXPECT_FALSE(file_write(h, "x", 1));
  EXPECT_TRUE(file_close(h));
  // A pipe is never read (its open would wait for a writer, and the batch with
  // it); deleting an output never takes a device, a pipe or a folder with it.
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(file_open_read(Path("fifo"), h));
  EXPECT_EQ(errno, ENOTSUP);
  fs::create_directory(Path("sub"));
  for (const fs::path& p : {fs::path("/dev/full"), Path("fifo"), Path("sub")}) {
    EXPECT_FALSE(file_delete(p) || !fs::exists(p)) << p;
  }
  EXPECT_TRUE(file_delete(Path("f")) && !fs::exists(Path("f")));
}

TEST_F(WaveTest, WrittenFilesAreExactAndReadBack) {
  {
    CWaveFile w;
    ASSERT_EQ(w.OpenWrite(Path("empty.wav"), 48000, 16, 2), WaveResult::kOk);
    ASSERT_EQ(w.Finish(), WaveResult::kOk);
  }
  EXPECT_EQ(ReadBytes(Path("empty.wav")),
            RiffBuilder().Fmt(2, 48000, 16).Chunk("data", {}).Build());
  // 8-bit mono: a frame still carries two samples, the low byte of each.
  CWaveFile w8;
  ASSERT_EQ(w8.OpenWrite(Path("8.wav"), 22050, 8, 1), WaveResult::kOk);
  ASSERT_EQ(w8.WriteFrame(0x1234, -1), WaveResult::kOk);
  ASSERT_EQ(w8.Finish(), WaveResult::kOk);
  EXPECT_EQ(ReadBytes(Path("8.wav")),
            RiffBuilder().Fmt(1, 22050, 8).Chunk("data", {0x34, 0xFF}).Build());

  const uint32_t n = 70001;  // four 64 KiB blocks and a partial one
  std::vector<int16_t> samples;
  {
    CWaveFile w;
    ASSERT_EQ(w.OpenWrite(Path("long.wav"), 44100, 16, 2), WaveResult::kOk);
    for (uint32_t i = 0; i < n; ++i) {
      samples.insert(samples.end(), {static_cast<int16_t>(i), static_cast<int16_t>(~i)});
      ASSERT_EQ(w.WriteFrame(samples[2 * i], samples[2 * i + 1]), WaveResult::kOk);
    }
    EXPECT_EQ(w.GetFrameCount(), n);
    ASSERT_EQ(w.Finish(), WaveResult::kOk);
  }
  EXPECT_EQ(ReadBytes(Path("long.wav")), BuildWav16(44100, 2, samples));
  CWaveFile r;
  ASSERT_EQ(r.OpenRead(Path("long.wav")), WaveResult::kOk);
  ASSERT_EQ(r.GetFrameCount(), n);
  std::vector<int16_t> back;
  PcmFrame f;
  while (back.size() < 2 * n && r.ReadFrame(f) == WaveResult::kOk)
    back.insert(back.end(), {f.left, f.right});
  EXPECT_EQ(back, samples);
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
  ASSERT_EQ(r.SeekFrame(12345), WaveResult::kOk);  // drops what was read ahead
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.right, static_cast<int16_t>(~12345u));
  EXPECT_EQ(r.SeekFrame(n), WaveResult::kInvalidRequest);
}

TEST_F(WaveTest, CloseWithoutFinishPatchesOnlyTheRiffSize) {
  WriteBytes(Path("in.wav"), BuildWav16(44100, 2, {1, 2}));
  for (bool reopen : {false, true}) {
    {
      CWaveFile w;
      ASSERT_EQ(w.OpenWrite(Path("o.wav"), 44100, 16, 2), WaveResult::kOk);
      for (int i = 0; i < 5; ++i) ASSERT_EQ(w.WriteFrame(7, 8), WaveResult::kOk);
      EXPECT_EQ(reopen ? w.OpenRead(Path("in.wav")) : WaveResult::kOk, WaveResult::kOk);  // closes
    }
    const Bytes b = ReadBytes(Path("o.wav"));
    EXPECT_EQ(std::make_tuple(b.size(), LE32(b, 4), LE32(b, 40)),
              std::make_tuple(size_t{64}, 56u, 0u));
  }
}

TEST_F(WaveTest, BadRequestsUnwritableFilesAndFullDisk) {
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

  // The 36 header bytes (flushed at open) and one 64 KiB block fit, the next
  // not: blocks go out with frames 16382 and 32766. Else Finish reports it.
  for (const uint32_t limit : {100000u, 65572u + 10}) {
    FileSizeLimit guard(limit);
    CWaveFile full;
    ASSERT_EQ(full.OpenWrite(Path("full.wav"), 44100, 16, 2), WaveResult::kOk);
    const uint32_t fits = limit == 100000 ? 32765 : 16392;
    for (uint32_t i = 0; i < fits; ++i) ASSERT_EQ(full.WriteFrame(1, 2), WaveResult::kOk) << i;
    EXPECT_EQ(limit == 100000 ? full.WriteFrame(1, 2) : full.Finish(), WaveResult::kFileError);
    EXPECT_EQ(full.GetFrameCount(), fits);
    EXPECT_EQ(full.Close(), WaveResult::kOk);  // the buffer's failure was reported already
  }
}

// Each file through CWaveFile and the WAV reader: the open result, the format,
// and the last frame read (mono leaves right as it was, 8 bits zero-extend).
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
  } cases[] = {
      // clang-format off
      {"list chunk before data", fmt().Chunk("LIST", Bytes(26, 'x')).Chunk("data", d).Build()},
      {"fmt of 18 bytes", fmt(2, 16, 48000, 2).Chunk("data", d).Build(), {}, {48000, 2, 16, 2}},
      {"fmt of 40 bytes", fmt(2, 16, 44100, 24).Chunk("data", d).Build()},
      {"odd chunk without pad byte", fmt().Chunk("junk", {1, 2, 3}).Chunk("data", d).Build()},
      {"RIFX id", RiffBuilder("RIFX").Fmt(2, 44100, 16).Chunk("data", d).Build()},
      {"data before fmt keeps defaults", RiffBuilder().Chunk("data", d).Fmt(1, 8000, 8).Build()},
      {"odd data size", fmt().Chunk("data", d, 11).Build()},
      {"24 bits reported, not read", fmt(2, 24).Chunk("data", Bytes(12)).Build(), {}, {44100, 2, 24, 2}, 111, 222},
      {"16-bit mono", fmt(1).Chunk("data", Samples16({-5})).Build(), {}, {44100, 1, 16, 1}, -5, 222},
      {"8-bit mono", fmt(1, 8).Chunk("data", {0x00, 0xFF}).Build(), {}, {44100, 1, 8, 2}, 255, 222},
      {"8-bit stereo", fmt(2, 8).Chunk("data", {0xFF, 0x01}).Build(), {}, {44100, 2, 8, 1}, 255, 1},
      {"empty", {}, kBad},
      {"not WAVE", patched(8, 'A'), kBad},
      {"no data chunk", fmt().Chunk("LIST", {1, 2}).Build(), kBad},
      {"4 bits", fmt(2, 4).Chunk("data", d).Build(), kBad},
      {"0 bits", fmt(2, 0).Chunk("data", d).Build(), kBad},
      {"3 channels", fmt(3).Chunk("data", d).Build(), kBad},
      {"wrong byte rate", patched(28, 0x11), kBad},  // 176401
      {"wrong block align", patched(32, 2), kBad},
      {"truncated fmt", Bytes(good.begin(), good.begin() + 30), kBad},
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
    EXPECT_EQ(std::make_tuple(res, f.left, f.right),
              std::make_tuple(c.format[2] == 24 ? WaveResult::kInvalidRequest : WaveResult::kOk,
                              c.left, c.right))
        << c.name;
  }
  CWaveFile r;
  EXPECT_EQ(r.OpenRead(Path("absent.wav")), kBad);
  EXPECT_EQ(r.OpenRead(""), WaveResult::kInvalidRequest);
  CPCMIn_WAV in;
  EXPECT_EQ(in.Open(Path("absent.wav")), AudioResult::kFailed);
}

TEST_F(WaveTest, ReadingGoesOnPastTheDataAndRewinds) {
  CWaveFile r;
  WriteBytes(Path("e.wav"), RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}).Build());
  ASSERT_EQ(r.OpenRead(Path("e.wav")), WaveResult::kOk);
  EXPECT_EQ(r.SeekFrame(0), WaveResult::kInvalidRequest);
  // Past the data chunk come the bytes that follow it; a truncated file
  // delivers the frames it holds, then fails.
  WriteBytes(Path("t.wav"), RiffBuilder()
                                .Fmt(2, 44100, 16)
                                .Chunk("data", Samples16({1, 2}), 400)
                                .Chunk("LIST", Samples16({3, 4, 5}))
                                .Build());
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("t.wav")), AudioResult::kOk);
  EXPECT_EQ(in.GetLength(), 100u);
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<int16_t> samples;
    for (PcmFrame f; in.ReadFrame(f) == AudioResult::kOk;)
      samples.insert(samples.end(), {f.left, f.right});
    EXPECT_EQ(samples, (std::vector<int16_t>{1, 2, 'L' | 'I' << 8, 'S' | 'T' << 8, 6, 0, 3, 4}));
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
  }
  EXPECT_EQ(in.Close(), AudioResult::kOk);
  PcmFrame f;
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
}

// Doubled frames are stored twice, counted once; when the second copy of a
// frame fails, the frame is counted and the failure reported.
TEST_F(WaveTest, WavWriterDoublesFrames) {
  CPCMOut_WAV out;
  EXPECT_EQ(out.Open(Path("no/dir/o.wav"), 44100, "", "", false, true), AudioResult::kFailed);
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  EXPECT_EQ(out.GetFrameCount(), 0u);
  ASSERT_EQ(out.Open(Path("d.wav"), 44100, "", "", false, true), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(5, -6), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(-32768, 32767), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 2u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(ReadBytes(Path("d.wav")),
            BuildWav16(44100, 2, {5, -6, 5, -6, -32768, 32767, -32768, 32767}));
  // Stored frame 32765 is the first that no longer fits (see above): the
  // second copy of frame 16382. The failed block is gone; the next one cannot
  // be flushed at Close.
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
