// Accompaniments as everyday tools write them, found beside the source and
// mixed by the framework: each must come out exactly as the samples written
// (WAV) or as mpg123 decodes the file (MP3), one second late, folded to mono
// and faded. Two floating-point MP3 decoders may round a sample apart by one.

#include <cstring>
#include <set>

#include "tests/pipeline/thread_fixture.h"

namespace tonvelo::test {
namespace {

// An ID3v2 tag with a title in `encoding` (0 Latin-1, 1 UTF-16, 3 UTF-8) and
// optionally a picture of noise, full of false MPEG sync words.
Bytes Id3(uint8_t version, uint8_t encoding, size_t pictureBytes = 0, bool footer = false) {
  const std::map<int, Bytes> titles{{0, {'F', 0xFC, 'r'}},
                                    {1, {0xFF, 0xFE, 'F', 0, 0xFC, 0, 'r', 0}},
                                    {3, {'F', 0xC3, 0xBC, 'r'}}};
  Bytes picture{0, 'i', 'm', 'a', 'g', 'e', '/', 'j', 'p', 'e', 'g', 0, 3, 0};
  for (uint32_t i = 0, x = 1; i < pictureBytes; ++i)
    picture.push_back((x = x * 1103515245 + 12345) >> 24 | 0xE0 * (i % 3 == 0));
  Bytes body;
  const auto size = [&](Bytes& to, size_t n, bool syncsafe) {
    for (int i = 3; i >= 0; --i)
      to.push_back(static_cast<uint8_t>(n >> (syncsafe ? 7 * i : 8 * i)) &
                   (syncsafe ? 0x7F : 0xFF));
  };
  for (const auto& [id, content] : {std::pair{"TIT2", titles.at(encoding)}, {"APIC", picture}}) {
    if (content == picture && pictureBytes == 0) continue;
    body.insert(body.end(), id, id + 4);
    size(body, content.size() + (content == picture ? 0 : 1), version == 4);
    body.insert(body.end(), {0, 0});
    if (content != picture) body.push_back(encoding);
    body.insert(body.end(), content.begin(), content.end());
  }
  Bytes tag{'I', 'D', '3', version, 0, static_cast<uint8_t>(footer ? 0x10 : 0)};
  size(tag, body.size(), true);
  tag.insert(tag.end(), body.begin(), body.end());
  if (footer)
    tag.insert(tag.end(), {'3', 'D', 'I', version, 0, 0x10, tag[6], tag[7], tag[8], tag[9]});
  return tag;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

using Table = std::vector<int16_t>;  // interleaved stereo

TEST_F(ThreadTest, AccompanimentsAsToolsWriteThemMixExactly) {
  const std::string song = WriteMidi("song.mid");
  settings_.prependFormatKey = 1;
  const auto tone = [](double seconds, uint16_t channels) {
    Table s(static_cast<size_t>(seconds * 44100) * channels);
    for (size_t i = 0; i < s.size(); ++i)
      s[i] = static_cast<int16_t>(Tone(i / channels, 44100) / (1 + i % channels));
    return s;
  };
  const Table wav = tone(0.5, 2);
  Bytes pcm;
  for (int16_t s : wav) PutLE(pcm, static_cast<uint16_t>(s), 2);
  Bytes extensible{0xFE, 0xFF, 2,    0, 0x44, 0xAC, 0, 0,    0x10, 0xB1, 2,    0,   4, 0,
                   16,   0,    22,   0, 16,   0,    3, 0,    0,    0,    1,    0,   0, 0,
                   0,    0,    0x10, 0, 0x80, 0,    0, 0xAA, 0,    0x38, 0x9B, 0x71};
  struct Case {
    const char* name;
    std::string tool, command;  // the command turns in.wav into enc.mp3
    double seconds = 2;
    uint16_t channels = 2;
    Bytes tags = {}, file = {};  // tags go before enc.mp3; file is the whole WAV
    bool warned = false;
  };
  const auto lame = [](const std::string& options) {
    return "lame --quiet " + options + " in.wav enc.mp3";
  };
  const std::string lameTool = "lame --version", cbr = lame("-b 128"), noInfo = lame("-b 128 -t");
  const std::vector<Case> cases{
      {"v2.3 Latin-1", lameTool, cbr, 2, 2, Id3(3, 0)},
      {"v2.3 UTF-16 by lame, ID3v1 at the end", lameTool,
       "lame --quiet --id3v2-utf16 --tt 'F\xC3\xBCr Elise' --ta Ludwig in.wav enc.mp3"},
      {"v2.4 UTF-8 by ffmpeg", "ffmpeg -version",
       noInfo + " && ffmpeg -loglevel error -i enc.mp3 -c copy -id3v2_version 4 -metadata "
                "title='F\xC3\xBCr Elise' t.mp3 && mv t.mp3 enc.mp3"},
      {"v2.4 UTF-16 with a 100 KiB picture", lameTool, cbr, 2, 1, Id3(4, 1, 100 * 1024)},
      {"v2.4 with footer, another tag", lameTool, cbr, 1, 2, Id3(4, 3, 0, true) + Id3(3, 1, 300)},
      {"tag repeated", lameTool, cbr, 1, 2, Id3(4, 0) + Id3(3, 1, 300)},
      {"VBR with Xing", lameTool, lame("-V 4"), 5},
      {"Info 0.3 s", lameTool, cbr, 0.3},
      {"Info 1 s", lameTool, cbr, 1, 1},
      {"Info 2 s", lameTool, cbr, 2},
      {"Info 30 s", lameTool, cbr, 30, 1},
      {"no Info 0.3 s", lameTool, cbr + " -t", 0.3, 1},
      {"no Info 1 s", lameTool, cbr + " -t", 1},
      {"no Info 2 s", lameTool, cbr + " -t", 2, 1},
      {"no Info 30 s", lameTool, cbr + " -t", 30},
      {"odd LIST padded",
       "",
       "",
       0,
       2,
       {},
       RiffBuilder()
           .Fmt(2, 44100, 16)
           .Chunk("LIST", {'I', 'N', 'F', 'O', 'x', 0}, 5)
           .Chunk("data", pcm)
           .Build()},
      {"odd LIST unpadded",
       "",
       "",
       0,
       2,
       {},
       RiffBuilder()
           .Fmt(2, 44100, 16)
           .Chunk("LIST", {'I', 'N', 'F', 'O', 'x'})
           .Chunk("data", pcm)
           .Build()},
      {"extensible, cue and smpl",
       "",
       "",
       0,
       2,
       {},
       RiffBuilder()
           .Chunk("fmt ", extensible)
           .Chunk("cue ", Bytes(28, 1))
           .Chunk("data", pcm)
           .Chunk("smpl", Bytes(60, 2))
           .Build()},
      {"no frames",
       "",
       "",
       0,
       2,
       {},
       RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}).Build(),
       true},
      {"frames cut off",
       "",
       "",
       0,
       2,
       {},
       RiffBuilder().Fmt(2, 44100, 16).Chunk("data", {}, 4000).Build(),
       true},
  };
  std::set<std::string> missing;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Path("song.wav"));
    fs::remove(Path("song.mp3"));
    Table decoded = wav;
    if (c.file.empty()) {
      if (!HaveTool(c.tool) || !HaveMpg123()) {
        missing.insert(HaveMpg123() ? c.tool : "mpg123");
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
      WriteFile("song.wav", c.file);
    }
    const size_t n = c.warned ? 0 : decoded.size() / 2;
    frames_ = static_cast<uint32_t>(44100 + n + 100);
    EXPECT_EQ(Run({{song, ""}}), 0);
    EXPECT_EQ(events_.messages,
              (std::vector<std::pair<MessageIcon, std::string>>(
                  c.warned, {MessageIcon::kWarning,
                             "Accompaniment file \"song.wav\" holds no audio that could be "
                             "read.\nOmitting accompaniment for this track."})));
    StereoWav out;
    ASSERT_TRUE(ReadStereoWav(Path("lx_song.wav"), out));
    ASSERT_EQ(out.left.size(), frames_);
    int worst = 0;
    size_t at = 0;
    for (size_t i = 0; i < out.left.size(); ++i) {
      const size_t k = i - 44100;
      int s = i < 44100 || k >= n ? 0 : (decoded[2 * k] + decoded[2 * k + 1]) / 2;
      if (k < n) s = s * static_cast<int>(k < 400 ? k : std::min(n - k, size_t{400})) / 400;
      if (std::abs(out.left[i] - s) > worst) worst = std::abs(out.left[i] - s), at = i;
    }
    EXPECT_LE(worst, c.file.empty() ? 1 : 0) << "frame " << at << " of " << n;
  }
  if (!missing.empty()) GTEST_SKIP() << "rows skipped, tools missing: " << *missing.begin();
}

}  // namespace
}  // namespace tonvelo::test
