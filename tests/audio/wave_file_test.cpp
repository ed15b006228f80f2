#include "audio/wave_file.h"

#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using WaveFileWriteTest = AudioTest;
using WaveFileReadTest = AudioTest;

Bytes Header44(uint32_t rate, uint16_t bits, uint16_t channels, uint32_t riffSize,
               uint32_t dataSize) {
  Bytes b;
  PutTag(b, "RIFF");
  PutLE(b, riffSize, 4);
  PutTag(b, "WAVE");
  PutTag(b, "fmt ");
  PutLE(b, 16, 4);
  PutLE(b, 1, 2);
  PutLE(b, channels, 2);
  PutLE(b, rate, 4);
  PutLE(b, rate * bits * channels / 8, 4);
  PutLE(b, bits * channels / 8u, 2);
  PutLE(b, bits, 2);
  PutTag(b, "data");
  PutLE(b, dataSize, 4);
  return b;
}

TEST(MakeFourcc, BytesInFileOrderPaddedWithSpaces) {
  EXPECT_EQ(make_fourcc("RIFF"), 0x46464952u);
  EXPECT_EQ(make_fourcc("fmt"), make_fourcc("fmt "));
  EXPECT_EQ(make_fourcc(""), 0x20202020u);
}

TEST_F(WaveFileWriteTest, EmptyAndShortFilesHaveExactBytes) {
  {
    CWaveFile w;
    ASSERT_EQ(w.OpenWrite(Path("empty.wav"), 48000, 16, 2), WaveResult::kOk);
    ASSERT_EQ(w.Finish(), WaveResult::kOk);
  }
  EXPECT_EQ(ReadBytes(Path("empty.wav")), Header44(48000, 16, 2, 36, 0));

  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("three.wav"), 44100, 16, 2), WaveResult::kOk);
  for (auto [l, r] : {std::pair<int16_t, int16_t>{1, -1}, {32767, -32768}, {0x1234, 0}}) {
    ASSERT_EQ(w.WriteFrame(l, r), WaveResult::kOk);
  }
  EXPECT_EQ(w.GetFrameCount(), 3u);
  ASSERT_EQ(w.Finish(), WaveResult::kOk);
  Bytes expected = Header44(44100, 16, 2, 36 + 12, 12);
  const Bytes samples = Samples16({1, -1, 32767, -32768, 0x1234, 0});
  expected.insert(expected.end(), samples.begin(), samples.end());
  EXPECT_EQ(ReadBytes(Path("three.wav")), expected);
}

TEST_F(WaveFileWriteTest, ManyFramesCrossBufferBlocks) {
  const uint32_t n = 70001;  // four 64 KiB blocks and a partial one
  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("long.wav"), 44100, 16, 2), WaveResult::kOk);
  for (uint32_t i = 0; i < n; ++i) {
    ASSERT_EQ(w.WriteFrame(static_cast<int16_t>(i), static_cast<int16_t>(~i)), WaveResult::kOk);
  }
  ASSERT_EQ(w.Finish(), WaveResult::kOk);
  const Bytes b = ReadBytes(Path("long.wav"));
  ASSERT_EQ(b.size(), 44 + 4 * size_t{n});
  EXPECT_EQ(LE32(b, 4), 36 + 4 * n);
  EXPECT_EQ(LE32(b, 40), 4 * n);
  StereoWav wav;
  ASSERT_TRUE(ReadStereoWav(Path("long.wav"), wav));
  for (uint32_t i : {0u, 16381u, 16382u, 16383u, 32765u, 65535u, n - 1}) {
    EXPECT_EQ(wav.left[i], static_cast<int16_t>(i)) << i;
    EXPECT_EQ(wav.right[i], static_cast<int16_t>(~i)) << i;
  }
}

TEST_F(WaveFileWriteTest, CloseWithoutFinishPatchesOnlyTheRiffSize) {
  for (bool viaDestructor : {false, true}) {
    const fs::path path = Path(viaDestructor ? "dtor.wav" : "close.wav");
    {
      CWaveFile w;
      ASSERT_EQ(w.OpenWrite(path, 44100, 16, 2), WaveResult::kOk);
      for (int i = 0; i < 5; ++i) ASSERT_EQ(w.WriteFrame(7, 8), WaveResult::kOk);
      if (!viaDestructor) {
        ASSERT_EQ(w.Close(), WaveResult::kOk);
      }
    }
    const Bytes b = ReadBytes(path);
    ASSERT_EQ(b.size(), 64u);
    EXPECT_EQ(LE32(b, 4), 56u);
    EXPECT_EQ(LE32(b, 40), 0u);
  }
}

TEST_F(WaveFileWriteTest, EightBitAndMonoLayouts) {
  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("8.wav"), 22050, 8, 1), WaveResult::kOk);
  // A frame always carries two samples; 8-bit keeps the low byte of each.
  ASSERT_EQ(w.WriteFrame(0x1234, -1), WaveResult::kOk);
  ASSERT_EQ(w.Finish(), WaveResult::kOk);
  Bytes expected = Header44(22050, 8, 1, 38, 2);
  expected.insert(expected.end(), {0x34, 0xFF});
  EXPECT_EQ(ReadBytes(Path("8.wav")), expected);
}

TEST_F(WaveFileWriteTest, InvalidRequestsChangeNothing) {
  CWaveFile w;
  EXPECT_EQ(w.OpenWrite(Path("a.wav"), 44100, 24, 2), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.OpenWrite(Path("a.wav"), 44100, 16, 3), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.OpenWrite(Path("a.wav"), 44100, 8, 0), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.OpenWrite("", 44100, 16, 2), WaveResult::kInvalidRequest);
  EXPECT_FALSE(fs::exists(Path("a.wav")));
  EXPECT_EQ(w.WriteFrame(1, 2), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.SeekFrame(0), WaveResult::kInvalidRequest);
  EXPECT_EQ(w.Finish(), WaveResult::kOk);
  EXPECT_EQ(w.Close(), WaveResult::kOk);
  EXPECT_EQ(w.GetFrameCount(), 0u);
}

TEST_F(WaveFileWriteTest, UncreatableFileLeavesNothingBehind) {
  CWaveFile w;
  EXPECT_EQ(w.OpenWrite(Path("missing/x.wav"), 44100, 16, 2), WaveResult::kFileError);
  EXPECT_FALSE(fs::exists(Path("missing")));
  // A device that takes no bytes: the failed header write must not delete it.
  EXPECT_EQ(w.OpenWrite("/dev/full", 44100, 16, 2), WaveResult::kFileError);
  EXPECT_TRUE(fs::exists("/dev/full"));
  EXPECT_EQ(w.WriteFrame(1, 1), WaveResult::kInvalidRequest);
}

TEST_F(WaveFileWriteTest, FullDiskFailsAtTheBlockThatDoesNotFit) {
  // Header (36 bytes, flushed at open) + one 64 KiB block fit, the next not:
  // the first block goes out with frame 16382, the second with frame 32766.
  FileSizeLimit limit(100000);
  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("full.wav"), 44100, 16, 2), WaveResult::kOk);
  for (uint32_t i = 0; i < 32765; ++i) ASSERT_EQ(w.WriteFrame(1, 2), WaveResult::kOk) << i;
  EXPECT_EQ(w.WriteFrame(1, 2), WaveResult::kFileError);
  EXPECT_EQ(w.GetFrameCount(), 32765u);
}

TEST_F(WaveFileWriteTest, FullDiskFailsAtFinish) {
  FileSizeLimit limit(65572 + 10);
  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("full.wav"), 44100, 16, 2), WaveResult::kOk);
  for (uint32_t i = 0; i < 16382 + 10; ++i) ASSERT_EQ(w.WriteFrame(1, 2), WaveResult::kOk);
  EXPECT_EQ(w.Finish(), WaveResult::kFileError);
  EXPECT_EQ(w.Close(), WaveResult::kOk);
}

TEST_F(WaveFileReadTest, ReadsBackWhatWasWritten) {
  {
    CWaveFile w;
    ASSERT_EQ(w.OpenWrite(Path("rt.wav"), 48000, 16, 2), WaveResult::kOk);
    for (int i = 0; i < 40000; ++i) {
      ASSERT_EQ(w.WriteFrame(static_cast<int16_t>(i * 3), static_cast<int16_t>(-i)),
                WaveResult::kOk);
    }
    ASSERT_EQ(w.Finish(), WaveResult::kOk);
  }
  CWaveFile r;
  ASSERT_EQ(r.OpenRead(Path("rt.wav")), WaveResult::kOk);
  EXPECT_EQ(r.GetSampleRate(), 48000u);
  EXPECT_EQ(r.GetChannels(), 2);
  EXPECT_EQ(r.GetBitsPerSample(), 16);
  ASSERT_EQ(r.GetFrameCount(), 40000u);
  PcmFrame f;
  for (int i = 0; i < 40000; ++i) {
    ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
    ASSERT_EQ(f.left, static_cast<int16_t>(i * 3));
    ASSERT_EQ(f.right, static_cast<int16_t>(-i));
  }
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
  // Seeking discards what was read ahead.
  ASSERT_EQ(r.SeekFrame(12345), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, static_cast<int16_t>(12345 * 3));
  ASSERT_EQ(r.SeekFrame(0), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.right, 0);
  EXPECT_EQ(r.SeekFrame(40000), WaveResult::kInvalidRequest);
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
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", {}},
      {"not WAVE", RiffBuilder().Build()},
      {"AVI",
       [] {
         Bytes b = RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {1, 2, 3, 4}).Build();
         b[8] = 'A', b[9] = 'V', b[10] = 'I', b[11] = ' ';
         return b;
       }()},
      {"no data chunk", RiffBuilder().Fmt(2, 44100, 16).Chunk("LIST", {1, 2}).Build()},
      {"4 bits", RiffBuilder().FmtRaw(2, 44100, 44100, 1, 4).Chunk("data", data).Build()},
      {"0 bits", RiffBuilder().FmtRaw(2, 44100, 0, 0, 0).Chunk("data", data).Build()},
      {"3 channels", RiffBuilder().Fmt(3, 44100, 16).Chunk("data", data).Build()},
      {"wrong byte rate",
       RiffBuilder().FmtRaw(2, 44100, 176401, 4, 16).Chunk("data", data).Build()},
      {"wrong block align",
       RiffBuilder().FmtRaw(2, 44100, 176400, 2, 16).Chunk("data", data).Build()},
      {"truncated fmt",
       [] {
         Bytes b = RiffBuilder().Fmt(2, 44100, 16).Build();
         b.erase(b.end() - 6, b.end());
         return b;
       }()},
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
  EXPECT_EQ(r.OpenRead(dir_), WaveResult::kFileError);
  EXPECT_EQ(r.OpenRead(""), WaveResult::kInvalidRequest);
}

TEST_F(WaveFileReadTest, NarrowAndMonoSamples) {
  // Mono leaves right as it was; 8-bit values arrive zero-extended.
  WriteBytes(Path("m16.wav"),
             RiffBuilder().Fmt(1, 44100, 16).Chunk("data", Samples16({-5, 6})).Build());
  WriteBytes(Path("m8.wav"),
             RiffBuilder().Fmt(1, 44100, 8).Chunk("data", {0x00, 0x80, 0xFF}).Build());
  WriteBytes(Path("s8.wav"), RiffBuilder().Fmt(2, 44100, 8).Chunk("data", {0xFF, 0x01}).Build());
  CWaveFile r;
  PcmFrame f{111, 222};
  ASSERT_EQ(r.OpenRead(Path("m16.wav")), WaveResult::kOk);
  ASSERT_EQ(r.GetFrameCount(), 2u);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, -5);
  EXPECT_EQ(f.right, 222);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, 6);

  ASSERT_EQ(r.OpenRead(Path("m8.wav")), WaveResult::kOk);
  ASSERT_EQ(r.GetFrameCount(), 3u);
  for (int16_t expected : {0, 128, 255}) {
    ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
    EXPECT_EQ(f.left, expected);
    EXPECT_EQ(f.right, 222);
  }
  ASSERT_EQ(r.OpenRead(Path("s8.wav")), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, 255);
  EXPECT_EQ(f.right, 1);
}

TEST_F(WaveFileReadTest, FrameCountAndEndOfData) {
  WriteBytes(Path("e.wav"), RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}).Build());
  CWaveFile r;
  ASSERT_EQ(r.OpenRead(Path("e.wav")), WaveResult::kOk);
  EXPECT_EQ(r.GetFrameCount(), 0u);
  EXPECT_EQ(r.SeekFrame(0), WaveResult::kInvalidRequest);

  // Reading goes on past the data chunk into whatever follows it.
  WriteBytes(Path("t.wav"), RiffBuilder()
                                .Fmt(2, 44100, 16)
                                .Chunk("data", Samples16({1, 2}))
                                .Chunk("LIST", Samples16({3, 4, 5}))
                                .Build());
  ASSERT_EQ(r.OpenRead(Path("t.wav")), WaveResult::kOk);
  ASSERT_EQ(r.GetFrameCount(), 1u);
  PcmFrame f;
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, static_cast<int16_t>(make_fourcc("LIST") & 0xFFFF));
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, 6);  // the chunk's size field
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.left, 3);
  EXPECT_EQ(f.right, 4);
  // Half a frame is left: a short read.
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);

  // A truncated file delivers the frames it holds, then fails.
  Bytes cut =
      RiffBuilder().Fmt(2, 44100, 16).ChunkSized("data", 400, Samples16({1, 2, 3, 4, 5})).Build();
  WriteBytes(Path("cut.wav"), cut);
  ASSERT_EQ(r.OpenRead(Path("cut.wav")), WaveResult::kOk);
  EXPECT_EQ(r.GetFrameCount(), 100u);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  ASSERT_EQ(r.ReadFrame(f), WaveResult::kOk);
  EXPECT_EQ(f.right, 4);
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
  EXPECT_EQ(r.SeekFrame(99), WaveResult::kOk);
  EXPECT_EQ(r.ReadFrame(f), WaveResult::kFileError);
}

TEST_F(WaveFileReadTest, OpeningAgainClosesTheWrittenFileFirst) {
  WriteBytes(Path("in.wav"), BuildWav16(44100, 2, {1, 2}));
  CWaveFile w;
  ASSERT_EQ(w.OpenWrite(Path("out.wav"), 44100, 16, 2), WaveResult::kOk);
  ASSERT_EQ(w.WriteFrame(1, 2), WaveResult::kOk);
  ASSERT_EQ(w.OpenRead(Path("in.wav")), WaveResult::kOk);
  EXPECT_EQ(LE32(ReadBytes(Path("out.wav")), 4), 40u);
}

}  // namespace
}  // namespace tonvelo::test
