#include "audio/wave_file.h"

#include <sys/stat.h>

#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using ByteFileTest = AudioTest;
using WaveFileWriteTest = AudioTest;
using WaveFileReadTest = AudioTest;

Bytes Header44(uint32_t rate, uint16_t bits, uint16_t channels, uint32_t dataSize) {
  Bytes b = RiffBuilder().Fmt(channels, rate, bits).ChunkSized("data", dataSize, {}).Build();
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>((36 + dataSize) >> (8 * i));
  return b;
}

TEST_F(ByteFileTest, ShortTransfersFailAndOnlyFilesAreDeleted) {
  FileHandle h;
  ASSERT_TRUE(file_open_write(Path("f"), h));
  ASSERT_TRUE(file_write(h, "abcdefgh", 8));
  EXPECT_TRUE(file_close(h));
  ASSERT_TRUE(file_open_read(Path("f"), h));
  char buf[16];
  EXPECT_FALSE(file_read(h, buf, 9));  // a short read at the end is a failure
  ASSERT_TRUE(file_seek(h, 5));
  EXPECT_EQ(file_read_available(h, buf, sizeof buf), 3u);
  EXPECT_TRUE(file_close(h));
  EXPECT_FALSE(file_open_read(dir_, h));
  EXPECT_EQ(h, kInvalidFile);

  ASSERT_TRUE(file_open_write("/dev/full", h));
  EXPECT_FALSE(file_write(h, "x", 1));
  EXPECT_TRUE(file_close(h));
  // Deleting an output must never take a device, a pipe or a folder with it.
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_directory(Path("sub"));
  for (const fs::path& p : {fs::path("/dev/full"), Path("fifo"), Path("sub")}) {
    EXPECT_FALSE(file_delete(p)) << p;
    EXPECT_TRUE(fs::exists(p)) << p;
  }
  EXPECT_TRUE(file_delete(Path("f")));
  EXPECT_FALSE(fs::exists(Path("f")));
}

TEST_F(WaveFileWriteTest, HeaderAndSizesAreExact) {
  EXPECT_EQ(make_fourcc("fmt"), make_fourcc("fmt "));
  EXPECT_EQ(make_fourcc("RIFF"), 0x46464952u);
  {
    CWaveFile w;
    ASSERT_EQ(w.OpenWrite(Path("empty.wav"), 48000, 16, 2), WaveResult::kOk);
    ASSERT_EQ(w.Finish(), WaveResult::kOk);
  }
  EXPECT_EQ(ReadBytes(Path("empty.wav")), Header44(48000, 16, 2, 0));

  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("three.wav"), 44100, 16, 2), WaveResult::kOk);
  for (auto [l, r] : {std::pair<int16_t, int16_t>{1, -1}, {32767, -32768}, {0x1234, 0}}) {
    ASSERT_EQ(w.WriteFrame(l, r), WaveResult::kOk);
  }
  ASSERT_EQ(w.Finish(), WaveResult::kOk);
  Bytes expected = Header44(44100, 16, 2, 12);
  const Bytes samples = Samples16({1, -1, 32767, -32768, 0x1234, 0});
  expected.insert(expected.end(), samples.begin(), samples.end());
  EXPECT_EQ(ReadBytes(Path("three.wav")), expected);

  // 8-bit mono: a frame still carries two samples, the low byte of each. A
  // new object: one serves one file, its sizes are never reset.
  CWaveFile w8;
  ASSERT_EQ(w8.OpenWrite(Path("8.wav"), 22050, 8, 1), WaveResult::kOk);
  ASSERT_EQ(w8.WriteFrame(0x1234, -1), WaveResult::kOk);
  ASSERT_EQ(w8.Finish(), WaveResult::kOk);
  expected = Header44(22050, 8, 1, 2);
  expected.insert(expected.end(), {0x34, 0xFF});
  EXPECT_EQ(ReadBytes(Path("8.wav")), expected);
}

TEST_F(WaveFileWriteTest, LongFileCrossesBufferBlocksAndReadsBack) {
  const uint32_t n = 70001;  // four 64 KiB blocks and a partial one
  {
    CWaveFile w;
    ASSERT_EQ(w.OpenWrite(Path("long.wav"), 44100, 16, 2), WaveResult::kOk);
    for (uint32_t i = 0; i < n; ++i) {
      ASSERT_EQ(w.WriteFrame(static_cast<int16_t>(i), static_cast<int16_t>(~i)), WaveResult::kOk);
    }
    EXPECT_EQ(w.GetFrameCount(), n);
    ASSERT_EQ(w.Finish(), WaveResult::kOk);
  }
  const Bytes b = ReadBytes(Path("long.wav"));
  ASSERT_EQ(b.size(), 44 + 4 * size_t{n});
  EXPECT_EQ(LE32(b, 4), 36 + 4 * n);
  EXPECT_EQ(LE32(b, 40), 4 * n);
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("long.wav"), wav));
  for (uint32_t i : {0u, 16383u, 16384u, 65535u, n - 1}) {
    EXPECT_EQ(wav.left[i], static_cast<int16_t>(i)) << i;
    EXPECT_EQ(wav.right[i], static_cast<int16_t>(~i)) << i;
  }

  CWaveFile r;
  ASSERT_EQ(r.OpenRead(Path("long.wav")), WaveResult::kOk);
  ASSERT_EQ(r.GetFrameCount(), n);
  PcmFrame f;
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
    ASSERT_EQ(f.left, static_cast<int16_t>(i));
  }
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
  ASSERT_EQ(r.SeekFrame(12345), WaveResult::kOk);  // drops what was read ahead
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.right, static_cast<int16_t>(~12345u));
  EXPECT_EQ(r.SeekFrame(n), WaveResult::kInvalidRequest);
}

TEST_F(WaveFileWriteTest, CloseWithoutFinishPatchesOnlyTheRiffSize) {
  WriteBytes(Path("in.wav"), BuildWav16(44100, 2, {1, 2}));
  for (bool reopen : {false, true}) {
    const fs::path path = Path(reopen ? "reopen.wav" : "dtor.wav");
    {
      CWaveFile w;
      ASSERT_EQ(w.OpenWrite(path, 44100, 16, 2), WaveResult::kOk);
      for (int i = 0; i < 5; ++i) ASSERT_EQ(w.WriteFrame(7, 8), WaveResult::kOk);
      // Opening an open object closes it first.
      if (reopen) {
        ASSERT_EQ(w.OpenRead(Path("in.wav")), WaveResult::kOk);
      }
    }
    const Bytes b = ReadBytes(path);
    ASSERT_EQ(b.size(), 64u);
    EXPECT_EQ(LE32(b, 4), 56u);
    EXPECT_EQ(LE32(b, 40), 0u);
  }
}

TEST_F(WaveFileWriteTest, BadRequestsAndUnwritableFiles) {
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
}

TEST_F(WaveFileWriteTest, FullDiskFailsAtTheBlockThatDoesNotFit) {
  // Header (36 bytes, flushed at open) + one 64 KiB block fit, the next not:
  // the first block goes out with frame 16382, the second with frame 32766.
  {
    FileSizeLimit limit(100000);
    CWaveFile w;
    ASSERT_EQ(w.OpenWrite(Path("full.wav"), 44100, 16, 2), WaveResult::kOk);
    for (uint32_t i = 0; i < 32765; ++i) ASSERT_EQ(w.WriteFrame(1, 2), WaveResult::kOk) << i;
    EXPECT_EQ(w.WriteFrame(1, 2), WaveResult::kFileError);
    EXPECT_EQ(w.GetFrameCount(), 32765u);
  }
  // Room for the first block but not the rest: Finish reports it.
  FileSizeLimit limit(65572 + 10);
  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("finish.wav"), 44100, 16, 2), WaveResult::kOk);
  for (uint32_t i = 0; i < 16392; ++i) ASSERT_EQ(w.WriteFrame(1, 2), WaveResult::kOk);
  EXPECT_EQ(w.Finish(), WaveResult::kFileError);
  EXPECT_EQ(w.Close(), WaveResult::kOk);
}

struct LayoutCase {
  const char* name;
  Bytes file;
  uint16_t channels, bits;
  uint32_t rate, frames;
};

TEST_F(WaveFileReadTest, ChunkWalkAcceptsTheseLayouts) {
  const Bytes data = Samples16({10, -10, 20, -20});
  const std::vector<LayoutCase> cases = {
      {"list chunk before data",
       RiffBuilder().Fmt(2, 44100, 16).Chunk("LIST", Bytes(26, 'x')).Chunk("data", data).Build(), 2,
       16, 44100, 2},
      {"fmt of 18 bytes", RiffBuilder().Fmt(2, 48000, 16, 2).Chunk("data", data).Build(), 2, 16,
       48000, 2},
      {"fmt of 40 bytes", RiffBuilder().Fmt(2, 44100, 16, 24).Chunk("data", data).Build(), 2, 16,
       44100, 2},
      {"odd chunk without pad byte",
       RiffBuilder().Fmt(2, 44100, 16).Chunk("junk", {1, 2, 3}).Chunk("data", data).Build(), 2, 16,
       44100, 2},
      {"RIFX id", RiffBuilder("RIFX").Fmt(2, 44100, 16).Chunk("data", data).Build(), 2, 16, 44100,
       2},
      {"data before fmt keeps defaults", RiffBuilder().Chunk("data", data).Fmt(1, 8000, 8).Build(),
       2, 16, 44100, 2},
      {"odd data size", RiffBuilder().Fmt(2, 44100, 16).ChunkSized("data", 11, data).Build(), 2, 16,
       44100, 2},
      {"24-bit reports its width", RiffBuilder().Fmt(2, 44100, 24).Chunk("data", Bytes(12)).Build(),
       2, 24, 44100, 2},
  };
  for (const LayoutCase& c : cases) {
    WriteBytes(Path("in.wav"), c.file);
    CWaveFile r;
    ASSERT_EQ(r.OpenRead(Path("in.wav")), WaveResult::kOk) << c.name;
    EXPECT_EQ(r.GetChannels(), c.channels) << c.name;
    EXPECT_EQ(r.GetBitsPerSample(), c.bits) << c.name;
    EXPECT_EQ(r.GetSampleRate(), c.rate) << c.name;
    EXPECT_EQ(r.GetFrameCount(), c.frames) << c.name;
    PcmFrame f;
    if (c.bits == 16) {
      ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk) << c.name;
      EXPECT_EQ(f.left, 10) << c.name;
      EXPECT_EQ(f.right, -10) << c.name;
    } else {
      EXPECT_EQ(r.ReadFrame(f), WaveResult::kInvalidRequest) << c.name;
    }
  }
}

TEST_F(WaveFileReadTest, RejectsTheseFiles) {
  const Bytes data = Samples16({1, 2});
  Bytes avi = RiffBuilder().Fmt(2, 44100, 16).Chunk("data", data).Build();
  avi[8] = 'A', avi[9] = 'V', avi[10] = 'I';
  Bytes truncatedFmt = RiffBuilder().Fmt(2, 44100, 16).Build();
  truncatedFmt.resize(truncatedFmt.size() - 6);
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", {}},
      {"not WAVE", avi},
      {"no data chunk", RiffBuilder().Fmt(2, 44100, 16).Chunk("LIST", {1, 2}).Build()},
      {"4 bits", RiffBuilder().FmtRaw(2, 44100, 44100, 1, 4).Chunk("data", data).Build()},
      {"0 bits", RiffBuilder().FmtRaw(2, 44100, 0, 0, 0).Chunk("data", data).Build()},
      {"3 channels", RiffBuilder().Fmt(3, 44100, 16).Chunk("data", data).Build()},
      {"wrong byte rate",
       RiffBuilder().FmtRaw(2, 44100, 176401, 4, 16).Chunk("data", data).Build()},
      {"wrong block align",
       RiffBuilder().FmtRaw(2, 44100, 176400, 2, 16).Chunk("data", data).Build()},
      {"truncated fmt", truncatedFmt},
      // A size that would wrap the walk back onto the same chunk.
      {"wrapping chunk size",
       RiffBuilder().Fmt(2, 44100, 16).ChunkSized("junk", 0xFFFFFFF8u, {}).Build()},
  };
  for (const auto& [name, bytes] : cases) {
    WriteBytes(Path("bad.wav"), bytes);
    CWaveFile r;
    EXPECT_EQ(r.OpenRead(Path("bad.wav")), WaveResult::kFileError) << name;
  }
  CWaveFile r;
  EXPECT_EQ(r.OpenRead(Path("absent.wav")), WaveResult::kFileError);
  EXPECT_EQ(r.OpenRead(""), WaveResult::kInvalidRequest);
}

TEST_F(WaveFileReadTest, NarrowMonoAndTrailingBytes) {
  // Mono leaves right as it was; 8-bit values arrive zero-extended.
  WriteBytes(Path("m16.wav"),
             RiffBuilder().Fmt(1, 44100, 16).Chunk("data", Samples16({-5})).Build());
  WriteBytes(Path("m8.wav"), RiffBuilder().Fmt(1, 44100, 8).Chunk("data", {0x00, 0xFF}).Build());
  WriteBytes(Path("s8.wav"), RiffBuilder().Fmt(2, 44100, 8).Chunk("data", {0xFF, 0x01}).Build());
  CWaveFile r;
  PcmFrame f{111, 222};
  ASSERT_EQ(r.OpenRead(Path("m16.wav")), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, -5);
  EXPECT_EQ(f.right, 222);
  ASSERT_EQ(r.OpenRead(Path("m8.wav")), WaveResult::kOk);
  ASSERT_EQ(r.GetFrameCount(), 2u);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, 255);
  EXPECT_EQ(f.right, 222);
  ASSERT_EQ(r.OpenRead(Path("s8.wav")), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, 255);
  EXPECT_EQ(f.right, 1);

  WriteBytes(Path("e.wav"), RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}).Build());
  ASSERT_EQ(r.OpenRead(Path("e.wav")), WaveResult::kOk);
  EXPECT_EQ(r.SeekFrame(0), WaveResult::kInvalidRequest);

  // Reading goes on past the data chunk into whatever follows it, and a
  // truncated file delivers the frames it holds, then fails.
  WriteBytes(Path("t.wav"), RiffBuilder()
                                .Fmt(2, 44100, 16)
                                .ChunkSized("data", 400, Samples16({1, 2}))
                                .Chunk("LIST", Samples16({3, 4, 5}))
                                .Build());
  ASSERT_EQ(r.OpenRead(Path("t.wav")), WaveResult::kOk);
  EXPECT_EQ(r.GetFrameCount(), 100u);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);  // 1 2, "LIST", 6 0
  EXPECT_EQ(f.left, 3);
  EXPECT_EQ(f.right, 4);
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
}

}  // namespace
}  // namespace tonvelo::test
