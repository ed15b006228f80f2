// Byte files, the WAVE file, the WAV reader and writer and the discarding writer.

#include "audio/wave_file.h"

#include <sys/stat.h>

#include <cerrno>

#include "audio/pcm_in_wav.h"
#include "audio/pcm_out_null.h"
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
  PcmFrame f;
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
    ASSERT_EQ(std::make_pair(f.left, f.right), std::make_pair(samples[2 * i], samples[2 * i + 1]));
  }
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

  // Header (36 bytes, flushed at open) + one 64 KiB block fit, the next not:
  // the first block goes out with frame 16382, the second with frame 32766.
  // Room for the first block only: Finish reports the rest.
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

TEST_F(WaveTest, ChunkWalkAcceptsTheseLayouts) {
  const Bytes data = Samples16({10, -10, 20, -20});
  const auto fmt = [](uint32_t rate = 44100, uint16_t bits = 16, size_t extraBytes = 0) {
    return RiffBuilder().Fmt(2, rate, bits, extraBytes);
  };
  const struct {
    const char* name;
    Bytes file;
    uint32_t rate = 44100;
    uint16_t bits = 16;
  } cases[] = {
      {"list chunk before data", fmt().Chunk("LIST", Bytes(26, 'x')).Chunk("data", data).Build()},
      {"fmt of 18 bytes", fmt(48000, 16, 2).Chunk("data", data).Build(), 48000},
      {"fmt of 40 bytes", fmt(44100, 16, 24).Chunk("data", data).Build()},
      {"odd chunk without pad byte", fmt().Chunk("junk", {1, 2, 3}).Chunk("data", data).Build()},
      {"RIFX id", RiffBuilder("RIFX").Fmt(2, 44100, 16).Chunk("data", data).Build()},
      {"data before fmt keeps defaults", RiffBuilder().Chunk("data", data).Fmt(1, 8000, 8).Build()},
      {"odd data size", fmt().Chunk("data", data, 11).Build()},
      {"24-bit reports its width", fmt(44100, 24).Chunk("data", Bytes(12)).Build(), 44100, 24},
  };
  for (const auto& c : cases) {
    WriteBytes(Path("in.wav"), c.file);
    CWaveFile r;
    ASSERT_EQ(r.OpenRead(Path("in.wav")), WaveResult::kOk) << c.name;
    EXPECT_EQ((Format{r.GetSampleRate(), r.GetChannels(), r.GetBitsPerSample(), r.GetFrameCount()}),
              (Format{c.rate, 2, c.bits, 2}))
        << c.name;
    PcmFrame f{};
    EXPECT_EQ(r.ReadFrame(f), c.bits == 16 ? WaveResult::kOk : WaveResult::kInvalidRequest);
    EXPECT_EQ(f.left * 100 + f.right, c.bits == 16 ? 990 : 0) << c.name;
  }
}

TEST_F(WaveTest, RejectsTheseFiles) {
  const Bytes data = Samples16({1, 2});
  const Bytes good = RiffBuilder().Fmt(2, 44100, 16).Chunk("data", data).Build();
  const auto patched = [&](size_t offset, uint8_t value) {
    Bytes b = good;
    b[offset] = value;
    return b;
  };
  const auto fmt = [&](uint16_t channels, uint16_t bits) {
    return RiffBuilder().Fmt(channels, 44100, bits).Chunk("data", data).Build();
  };
  for (const auto& [name, bytes] : std::vector<std::pair<const char*, Bytes>>{
           {"empty", {}},
           {"not WAVE", patched(8, 'A')},
           {"no data chunk", RiffBuilder().Fmt(2, 44100, 16).Chunk("LIST", {1, 2}).Build()},
           {"4 bits", fmt(2, 4)},
           {"0 bits", fmt(2, 0)},
           {"3 channels", fmt(3, 16)},
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

TEST_F(WaveTest, NarrowMonoAndTrailingBytes) {
  // Mono leaves right as it was; 8-bit values arrive zero-extended.
  const struct {
    uint16_t channels, bits;
    Bytes data;
    int16_t left, right;  // of the last frame
  } cases[] = {{1, 16, Samples16({-5}), -5, 222},
               {1, 8, {0x00, 0xFF}, 255, 222},
               {2, 8, {0xFF, 0x01}, 255, 1}};
  for (const auto& c : cases) {
    WriteBytes(Path("n.wav"),
               RiffBuilder().Fmt(c.channels, 44100, c.bits).Chunk("data", c.data).Build());
    CWaveFile r;
    ASSERT_EQ(r.OpenRead(Path("n.wav")), WaveResult::kOk);
    ASSERT_EQ(r.GetFrameCount(), c.data.size() * 8 / c.bits / c.channels);
    PcmFrame f{111, 222};
    for (uint32_t i = 0; i < r.GetFrameCount(); ++i) ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
    EXPECT_EQ(std::make_pair(f.left, f.right), std::make_pair(c.left, c.right));
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
  EXPECT_EQ(f.left * 100 + f.right, 304);
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
}

TEST_F(WaveTest, WavReaderReportsRewindsAndFailsAsOne) {
  WriteBytes(Path("s.wav"), BuildWav16(44100, 2, {1, 2, 3, 4, 5, 6}));
  WriteBytes(Path("8.wav"), BuildWav8(48000, 1, {1, 2, 3, 4}));
  WriteBytes(Path("24.wav"), RiffBuilder().Fmt(2, 44100, 24).Chunk("data", Bytes(12)).Build());
  WriteBytes(Path("empty.wav"), BuildWav16(44100, 2, {}));
  CPCMIn_WAV in;
  ASSERT_EQ(in.Open(Path("s.wav")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{44100, 2, 16, 3}));
  PcmFrame f;
  for (int pass = 0; pass < 2; ++pass) {
    std::vector<int16_t> samples;
    for (uint32_t i = 0; i < in.GetLength() && in.ReadFrame(f) == AudioResult::kOk; ++i)
      samples.insert(samples.end(), {f.left, f.right});
    EXPECT_EQ(samples, (std::vector<int16_t>{1, 2, 3, 4, 5, 6}));
    ASSERT_EQ(in.Rewind(), AudioResult::kOk);
  }
  EXPECT_EQ(in.Close(), AudioResult::kOk);
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  ASSERT_EQ(in.Open(Path("8.wav")), AudioResult::kOk);
  EXPECT_EQ(Describe(in), (Format{48000, 1, 8, 4}));
  ASSERT_EQ(in.Open(Path("24.wav")), AudioResult::kOk);
  EXPECT_EQ(in.ReadFrame(f), AudioResult::kFailed);
  ASSERT_EQ(in.Open(Path("empty.wav")), AudioResult::kOk);
  EXPECT_EQ(in.Rewind(), AudioResult::kFailed);
  EXPECT_EQ(in.Open(Path("absent.wav")), AudioResult::kFailed);
}

TEST_F(WaveTest, WavWriterDoublesOnRequestAndWritesNoTags) {
  WriteBytes(Path("song.tags.txt"), {'T', 'I', 'T', '2', '=', 'x', '\n'});
  {
    CPCMOut_WAV out;
    ASSERT_EQ(out.Open(Path("o.wav"), 48000, "song", Path("song.tags.txt"), true, false),
              AudioResult::kOk);
    ASSERT_EQ(out.WriteFrame(5, -6), AudioResult::kOk);
  }  // the destructor finishes the file, data size included
  EXPECT_EQ(ReadBytes(Path("o.wav")), BuildWav16(48000, 2, {5, -6}));
  CPCMOut_WAV out;
  ASSERT_EQ(out.Open(Path("d.wav"), 44100, "", "", false, true), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(5, -6), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(-32768, 32767), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 2u);
  ASSERT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_EQ(ReadBytes(Path("d.wav")),
            BuildWav16(44100, 2, {5, -6, 5, -6, -32768, 32767, -32768, 32767}));
  // Reopening starts the count afresh and without doubling.
  ASSERT_EQ(out.Open(Path("d2.wav"), 44100, "", "", false, false), AudioResult::kOk);
  ASSERT_EQ(out.WriteFrame(1, 1), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 1u);

  EXPECT_EQ(out.Open(Path("no/dir/o.wav"), 44100, "", "", false, false), AudioResult::kFailed);
  EXPECT_FALSE(fs::exists(Path("no")));
  EXPECT_EQ(out.WriteFrame(1, 1), AudioResult::kFailed);
  EXPECT_EQ(out.GetFrameCount(), 0u);
  // Doubled, stored frame 32765 (the first that no longer fits) is the second
  // copy of frame 16382, counted while the failure is reported. The failed
  // block is gone; the next one cannot be flushed at Close.
  FileSizeLimit limit(100000);
  ASSERT_EQ(out.Open(Path("full.wav"), 44100, "", "", false, true), AudioResult::kOk);
  for (uint32_t i = 0; i < 16382; ++i) ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk) << i;
  EXPECT_EQ(out.WriteFrame(1, 2), AudioResult::kFailed);
  EXPECT_EQ(out.GetFrameCount(), 16383u);
  ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
  EXPECT_EQ(out.Close(), AudioResult::kFailed);
}

TEST_F(WaveTest, DiscardingWriterCountsAndCreatesNothing) {
  CPCMOut_NULL out;
  ASSERT_EQ(out.Open(Path("n.wav"), 44100, "t", Path("t.tags.txt"), true, true), AudioResult::kOk);
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(out.WriteFrame(1, 2), AudioResult::kOk);
  EXPECT_EQ(out.GetFrameCount(), 100000u);
  EXPECT_EQ(out.Close(), AudioResult::kOk);
  EXPECT_TRUE(fs::is_empty(dir_));
}

}  // namespace
}  // namespace tonvelo::test
