#include "audio/wave_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using ByteFileTest = AudioTest;
using WaveFileWriteTest = AudioTest;
using WaveFileReadTest = AudioTest;

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
  // Nor is a pipe read: its open would wait for a writer, and the batch too.
  EXPECT_FALSE(file_open_read(Path("fifo"), h));
  EXPECT_EQ(errno, ENOTSUP);
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
  const Bytes empty = ReadBytes(Path("empty.wav"));
  EXPECT_EQ(empty, RiffBuilder().Fmt(2, 48000, 16).Chunk("data", {}).Build());
  EXPECT_EQ(empty.size(), 44u);
  EXPECT_EQ(LE32(empty, 4), 36u);

  // 16-bit stereo data is checked through the WAV output writer. 8-bit mono:
  // a frame still carries two samples, the low byte of each. A new object:
  // one serves one file, its sizes are never reset.
  CWaveFile w8;
  ASSERT_EQ(w8.OpenWrite(Path("8.wav"), 22050, 8, 1), WaveResult::kOk);
  ASSERT_EQ(w8.WriteFrame(0x1234, -1), WaveResult::kOk);
  ASSERT_EQ(w8.Finish(), WaveResult::kOk);
  EXPECT_EQ(ReadBytes(Path("8.wav")),
            RiffBuilder().Fmt(1, 22050, 8).Chunk("data", {0x34, 0xFF}).Build());
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

  CWaveFile r;
  ASSERT_EQ(r.OpenRead(Path("long.wav")), WaveResult::kOk);
  ASSERT_EQ(r.GetFrameCount(), n);
  PcmFrame f;
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
    ASSERT_EQ(f.left, static_cast<int16_t>(i));
    ASSERT_EQ(f.right, static_cast<int16_t>(~i));
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

TEST_F(WaveFileReadTest, ChunkWalkAcceptsTheseLayouts) {
  const Bytes data = Samples16({10, -10, 20, -20});
  const auto fmt = [](uint32_t rate = 44100, uint16_t bits = 16, size_t extraBytes = 0) {
    return RiffBuilder().Fmt(2, rate, bits, extraBytes);
  };
  struct Case {
    const char* name;
    Bytes file;
    uint32_t rate = 44100;
    uint16_t bits = 16;
  };
  for (const Case& c : std::vector<Case>{
           {"list chunk before data",
            fmt().Chunk("LIST", Bytes(26, 'x')).Chunk("data", data).Build()},
           {"fmt of 18 bytes", fmt(48000, 16, 2).Chunk("data", data).Build(), 48000},
           {"fmt of 40 bytes", fmt(44100, 16, 24).Chunk("data", data).Build()},
           {"odd chunk without pad byte",
            fmt().Chunk("junk", {1, 2, 3}).Chunk("data", data).Build()},
           {"RIFX id", RiffBuilder("RIFX").Fmt(2, 44100, 16).Chunk("data", data).Build()},
           {"data before fmt keeps defaults",
            RiffBuilder().Chunk("data", data).Fmt(1, 8000, 8).Build()},
           {"odd data size", fmt().Chunk("data", data, 11).Build()},
           {"24-bit reports its width", fmt(44100, 24).Chunk("data", Bytes(12)).Build(), 44100, 24},
       }) {
    SCOPED_TRACE(c.name);
    WriteBytes(Path("in.wav"), c.file);
    CWaveFile r;
    ASSERT_EQ(r.OpenRead(Path("in.wav")), WaveResult::kOk);
    EXPECT_EQ(r.GetChannels(), 2u);
    EXPECT_EQ(r.GetBitsPerSample(), c.bits);
    EXPECT_EQ(r.GetSampleRate(), c.rate);
    EXPECT_EQ(r.GetFrameCount(), 2u);
    PcmFrame f;
    EXPECT_EQ(r.ReadFrame(f), c.bits == 16 ? WaveResult::kOk : WaveResult::kInvalidRequest);
    if (c.bits == 16) {
      EXPECT_EQ(f.left, 10);
      EXPECT_EQ(f.right, -10);
    }
  }
}

TEST_F(WaveFileReadTest, RejectsTheseFiles) {
  const Bytes data = Samples16({1, 2});
  const Bytes good = RiffBuilder().Fmt(2, 44100, 16).Chunk("data", data).Build();
  const auto patched = [&](size_t offset, uint8_t value) {
    Bytes b = good;
    b[offset] = value;
    return b;
  };
  for (const auto& [name, bytes] : std::vector<std::pair<const char*, Bytes>>{
           {"empty", {}},
           {"not WAVE", patched(8, 'A')},
           {"no data chunk", RiffBuilder().Fmt(2, 44100, 16).Chunk("LIST", {1, 2}).Build()},
           {"4 bits", RiffBuilder().Fmt(2, 44100, 4).Chunk("data", data).Build()},
           {"0 bits", RiffBuilder().Fmt(2, 44100, 0).Chunk("data", data).Build()},
           {"3 channels", RiffBuilder().Fmt(3, 44100, 16).Chunk("data", data).Build()},
           {"wrong byte rate", patched(28, 0x11)},  // 176401
           {"wrong block align", patched(32, 2)},
           {"truncated fmt", Bytes(good.begin(), good.begin() + 30)},
           // A size that would wrap the walk back onto the same chunk.
           {"wrapping chunk size",
            RiffBuilder().Fmt(2, 44100, 16).Chunk("junk", {}, 0xFFFFFFF8u).Build()},
       }) {
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
  struct Case {
    uint16_t channels, bits;
    Bytes data;
    int16_t left, right;  // of the last frame
  };
  for (const Case& c : {Case{1, 16, Samples16({-5}), -5, 222}, Case{1, 8, {0x00, 0xFF}, 255, 222},
                        Case{2, 8, {0xFF, 0x01}, 255, 1}}) {
    WriteBytes(Path("n.wav"),
               RiffBuilder().Fmt(c.channels, 44100, c.bits).Chunk("data", c.data).Build());
    CWaveFile r;
    ASSERT_EQ(r.OpenRead(Path("n.wav")), WaveResult::kOk);
    ASSERT_EQ(r.GetFrameCount(), c.data.size() * 8 / c.bits / c.channels);
    PcmFrame f{111, 222};
    for (uint32_t i = 0; i < r.GetFrameCount(); ++i) ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
    EXPECT_EQ(f.left, c.left);
    EXPECT_EQ(f.right, c.right);
  }

  CWaveFile r;
  WriteBytes(Path("e.wav"), RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}).Build());
  ASSERT_EQ(r.OpenRead(Path("e.wav")), WaveResult::kOk);
  EXPECT_EQ(r.SeekFrame(0), WaveResult::kInvalidRequest);

  // Reading goes on past the data chunk into whatever follows it, and a
  // truncated file delivers the frames it holds, then fails.
  WriteBytes(Path("t.wav"), RiffBuilder()
                                .Fmt(2, 44100, 16)
                                .Chunk("data", Samples16({1, 2}), 400)
                                .Chunk("LIST", Samples16({3, 4, 5}))
                                .Build());
  ASSERT_EQ(r.OpenRead(Path("t.wav")), WaveResult::kOk);
  EXPECT_EQ(r.GetFrameCount(), 100u);
  PcmFrame f;
  for (int i = 0; i < 4; ++i) ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);  // 1 2, "LIST", 6 0
  EXPECT_EQ(f.left, 3);
  EXPECT_EQ(f.right, 4);
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
}

}  // namespace
}  // namespace tonvelo::test
