// Accompaniments as everyday tools write them, found beside the source and
// mixed by the framework: each must come out exactly as the samples written
// (WAV) or as mpg123 decodes the file (MP3), one second late, folded to mono
// and faded. Two floating-point MP3 decoders may round a sample apart by one.

#include <cstring>

#include "tests/pipeline/thread_fixture.h"

namespace tonvelo::test {
namespace {

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An ID3v2 tag around `frames`, its size "syncsafe" (seven bits a byte).
Bytes Id3(uint8_t version, const Bytes& frames, bool footer = false) {
  Bytes size;
  for (int shift : {21, 14, 7, 0}) size.push_back((frames.size() >> shift) & 0x7F);
  const uint8_t flags = footer ? 0x10 : 0;
  return Bytes{'I', 'D', '3', version, 0, flags} + size + frames +
         (footer ? Bytes{'3', 'D', 'I', version, 0, flags} + size : Bytes{});
}

// Noise is full of false MPEG sync words, as a cover picture is.
Bytes Noise(size_t n) {
  Bytes b;
  for (uint32_t x = 1; b.size() < n;) b.push_back((x = x * 69069 + 1) >> 24);
  return b;
}

TEST_F(ThreadTest, AccompanimentsAsToolsWriteThemMixExactly) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  using Samples = std::vector<int16_t>;  // interleaved stereo
  const auto tone = [](double seconds, uint16_t channels) {
    Samples s(static_cast<size_t>(seconds * 44100) * channels);
    for (size_t i = 0; i < s.size(); ++i) s[i] = Tone(i / channels, 44100) / (1 + i % channels);
    return s;
  };
  const Samples wav = tone(0.5, 2);
  const Bytes plain = BuildWav16(44100, 2, wav), data(plain.begin() + 44, plain.end());
  const Bytes extensible{0xFE, 0xFF, 2,    0, 0x44, 0xAC, 0, 0,    0x10, 0xB1, 2,    0,   4, 0,
                         16,   0,    22,   0, 16,   0,    3, 0,    0,    0,    1,    0,   0, 0,
                         0,    0,    0x10, 0, 0x80, 0,    0, 0xAA, 0,    0x38, 0x9B, 0x71};
  const auto lame = [](const char* options) {
    return std::string("lame --quiet ") + options + " in.wav enc.mp3";
  };
  const std::string cbr = lame("-b 128"), noInfo = lame("-b 128 -t");
  RiffBuilder fmt;
  fmt.Fmt(2, 44100, 16);
  const auto WithChunk = [&](const char* id, const Bytes& body, int64_t sizeBytes = -1) {
    return RiffBuilder(fmt).Chunk(id, body, sizeBytes).Chunk("data", data).Build();
  };
  struct Case {
    const char* name;
    std::string command = {};  // turns in.wav into enc.mp3
    double seconds = 2;
    uint16_t channels = 2;
    Bytes tags = {};  // put before enc.mp3
    const char* tool = "";
    Bytes wav = {};  // the whole accompaniment, in place of an MP3
    bool warned = false;
  };
  // Title frames in Latin-1, UTF-16 (its byte-order mark reads as a sync word), UTF-8.
  const Bytes latin1{'T', 'I', 'T', '2', 0, 0, 0, 3, 0, 0, 0, 'F', 0xFC},
      utf16{'T', 'I', 'T', '2', 0, 0, 0, 7, 0, 0, 1, 0xFF, 0xFE, 'F', 0, 0xFC, 0},
      utf8{'T', 'I', 'T', '2', 0, 0, 0, 4, 0, 0, 3, 'F', 0xC3, 0xBC};
  WriteFile("cover.jpg", Bytes{0xFF, 0xD8, 0xFF, 0xE0} + Noise(100 * 1024));
  const std::vector<Case> cases{
      {.name = "v2.3 Latin-1 by lame",
       .command = lame("-b 128 --id3v2-latin1 --tt Title --add-id3v2")},
      {.name = "v2.3 UTF-16 and 100 KiB picture by lame, ID3v1 at the end",
       .command = lame("--id3v2-utf16 --tt 'F\xC3\xBCr Elise' --ta Ludwig --ti cover.jpg"),
       .channels = 1},
      {.name = "v2.4 UTF-8 by ffmpeg",
       .command = noInfo + " && ffmpeg -loglevel error -i enc.mp3 -c copy -id3v2_version "
                           "4 -metadata title='F\xC3\xBCr Elise' t.mp3 && mv t.mp3 enc.mp3",
       .tool = "ffmpeg"},
      {.name = "v2.4 footer, then a tag",
       .command = cbr,
       .tags = Id3(4, utf8, true) + Id3(3, utf16)},
      {.name = "tag repeated",
       .command = cbr,
       .seconds = 1,
       .tags = Id3(4, latin1) + Id3(3, utf16 + Noise(300))},
      {.name = "VBR with Xing", .command = lame("-V 4"), .seconds = 5},
      {.name = "Info 0.3 s", .command = cbr, .seconds = 0.3},
      {.name = "Info 1 s", .command = cbr, .seconds = 1, .channels = 1},
      {.name = "Info 30 s", .command = cbr, .seconds = 30, .channels = 1},
      {.name = "no Info 0.3 s", .command = noInfo, .seconds = 0.3, .channels = 1},
      {.name = "no Info 1 s", .command = noInfo, .seconds = 1},
      {.name = "no Info 2 s", .command = noInfo, .channels = 1},
      {.name = "no Info 30 s", .command = noInfo, .seconds = 30},
      {.name = "odd LIST padded", .wav = WithChunk("LIST", {'I', 'N', 'F', 'O', 'x', 0}, 5)},
      {.name = "odd LIST unpadded", .wav = WithChunk("LIST", {'I', 'N', 'F', 'O', 'x'})},
      {.name = "extensible, cue, smpl",
       .wav = RiffBuilder()
                  .Chunk("fmt ", extensible)
                  .Chunk("cue ", Bytes(28, 1))
                  .Chunk("data", data)
                  .Chunk("smpl", Bytes(60, 2))
                  .Build()},
      {.name = "no frames", .wav = RiffBuilder(fmt).Chunk("data", {}).Build(), .warned = true},
      {.name = "frames cut off",
       .wav = RiffBuilder(fmt).Chunk("data", {}, 400).Build(),
       .warned = true},
  };
  std::string missing;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Path("song.wav"));
    fs::remove(Path("song.mp3"));
    Samples decoded = wav;
    if (c.wav.empty()) {
      if (!HaveTool(std::string("which lame mpg123 ") + c.tool)) {
        missing = std::string("lame, mpg123 ") + c.tool;
        continue;
      }
      WriteFile("in.wav", BuildWav16(44100, c.channels, tone(c.seconds, c.channels)));
      ASSERT_EQ(RunCommand("cd " + Quote(dir_) + " && " + c.command + " 2>&1"), 0);
      WriteFile("song.mp3", c.tags + ReadBytes(Path("enc.mp3")));
      std::string raw;
      RunCommand("mpg123 -q --no-gapless --stereo -s " + Quote(Path("song.mp3")), &raw);
      decoded.assign(raw.size() / 2, 0);
      std::memcpy(decoded.data(), raw.data(), raw.size());
    } else {
      WriteFile("song.wav", c.wav);
    }
    const size_t n = c.warned ? 0 : decoded.size() / 2;
    frames_ = static_cast<uint32_t>(44100 + n + 100);
    EXPECT_EQ(Run({{song, ""}}), 0);
    EXPECT_EQ(events_.messages, (std::vector<std::pair<MessageIcon, std::string>>(
                                    c.warned, {MessageIcon::kWarning,
                                               "Accompaniment file \"song.wav\" holds no audio "
                                               "that could be read.\nOmitting accompaniment for "
                                               "this track."})));
    // Left: the recording one second late, folded to mono, faded over 400 frames.
    StereoWav out;
    ASSERT_TRUE(ReadStereoWav(Path("lx_song.wav"), out));
    ASSERT_EQ(out.left.size(), frames_);
    int worst = 0;
    for (size_t i = 0, k = i - 44100; i < out.left.size(); k = ++i - 44100) {
      int s = k >= n ? 0 : (decoded[2 * k] + decoded[2 * k + 1]) / 2;
      if (k < n) s = s * static_cast<int>(k < 400 ? k : std::min(n - k, size_t{400})) / 400;
      worst = std::max(worst, std::abs(out.left[i] - s));
    }
    EXPECT_LE(worst, c.wav.empty() ? 1 : 0);
  }
  if (!missing.empty()) GTEST_SKIP() << "rows skipped, tools missing: " << missing;
}

}  // namespace
}  // namespace tonvelo::test
