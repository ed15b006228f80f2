#pragma once
// MP3 helpers for the audio tests: tone files written with the product's own
// writer, a frame-header walk, and the independent decoders and tag readers.

#include <cmath>
#include <map>
#include <sstream>

#include "audio/pcm_out_mp3.h"
#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {

// Left: a 1 kHz tone at amplitude 10000; right: silence (or the other way).
inline int16_t Tone(uint32_t frame, uint32_t rate) {
  return static_cast<int16_t>(std::lround(10000.0 * std::sin(2 * M_PI * 1000.0 * frame / rate)));
}

struct Mp3Options {
  uint32_t rate = 44100;
  std::string title = "song";
  fs::path tagsPath;
  bool highQuality = false;
  bool doubleFrames = false;
  bool toneOnRight = false;

  Mp3Options& Rate(uint32_t hz) { return rate = hz, *this; }
  Mp3Options& Title(std::string t) { return title = std::move(t), *this; }
  Mp3Options& Tags(fs::path p) { return tagsPath = std::move(p), *this; }
  Mp3Options& High(bool on = true) { return highQuality = on, *this; }
  Mp3Options& ToneOnRight(bool on = true) { return toneOnRight = on, *this; }
};

inline bool WriteToneMp3(const fs::path& path, uint32_t frames,
                         const Mp3Options& o = Mp3Options()) {
  auto out = std::make_unique<CPCMOut_MP3>();
  if (out->Open(path, o.rate, o.title, o.tagsPath, o.highQuality, o.doubleFrames) !=
      AudioResult::kOk) {
    return false;
  }
  for (uint32_t i = 0; i < frames; ++i) {
    const int16_t t = Tone(i, o.rate);
    if (out->WriteFrame(o.toneOnRight ? 0 : t, o.toneOnRight ? t : 0) != AudioResult::kOk) {
      return false;
    }
  }
  return out->Close() == AudioResult::kOk;
}

inline size_t Id3v2Bytes(const Bytes& b) {
  if (b.size() < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return 0;
  return 10 + (size_t{b[6]} << 21 | size_t{b[7]} << 14 | size_t{b[8]} << 7 | b[9]);
}

struct FrameHeader {
  size_t offset = 0;
  int bitrateKbps = 0;
  uint32_t rate = 0;
  int mode = 0;  // 0 stereo, 1 joint, 2 dual, 3 mono
  bool copyright = false, original = false;
};

// Walks MPEG-1 layer III frames from the end of the ID3v2 tag; false if any
// byte up to the end of the file is not part of a frame.
inline bool WalkFrames(const Bytes& b, std::vector<FrameHeader>& frames) {
  static constexpr int kBitrates[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                        112, 128, 160, 192, 224, 256, 320, 0};
  static constexpr uint32_t kRates[4] = {44100, 48000, 32000, 0};
  size_t o = Id3v2Bytes(b);
  while (o < b.size()) {
    if (o + 4 > b.size() || b[o] != 0xFF || (b[o + 1] & 0xFE) != 0xFA) return false;
    FrameHeader h;
    h.offset = o;
    h.bitrateKbps = kBitrates[b[o + 2] >> 4];
    h.rate = kRates[(b[o + 2] >> 2) & 3];
    h.mode = b[o + 3] >> 6;
    h.copyright = (b[o + 3] & 0x08) != 0;
    h.original = (b[o + 3] & 0x04) != 0;
    if (h.bitrateKbps == 0 || h.rate == 0) return false;
    frames.push_back(h);
    o += 144 * 1000 * static_cast<size_t>(h.bitrateKbps) / h.rate + ((b[o + 2] >> 1) & 1);
  }
  return o == b.size();
}

struct DecodedWav {
  uint32_t rate = 0, channels = 0, frames = 0;
};

// Decodes with mpg123 into a WAV and reads its header.
inline bool DecodeWithMpg123(const fs::path& mp3, const fs::path& wav, DecodedWav& out) {
  if (RunCommand("mpg123 -q -w " + Quote(wav) + " " + Quote(mp3) + " 2>/dev/null") != 0)
    return false;
  const Bytes b = ReadBytes(wav);
  if (b.size() < 44) return false;
  out.channels = b[22];
  out.rate = LE32(b, 24);
  out.frames = LE32(b, 40) / (2 * out.channels);
  return true;
}

inline bool HaveMpg123() { return HaveTool("mpg123 --version"); }
inline bool HaveLame() { return HaveTool("lame --version"); }
inline bool HaveMutagen() { return HaveTool(Python() + " -c 'import mutagen'"); }

// The ID3v2 text frames as mutagen reads them: frame id to the stored bytes.
inline std::map<std::string, std::string> ReadId3Frames(const fs::path& mp3) {
  const fs::path script = mp3.string() + ".py";
  const std::string code =
      "import sys\n"
      "from mutagen.id3 import ID3\n"
      "t = ID3(sys.argv[1], translate=False)\n"
      "for f in t.values():\n"
      "    enc = 'latin-1' if f.encoding == 0 else 'utf-8'\n"
      "    print(f.FrameID, '|'.join(x.encode(enc).hex() for x in f.text))\n";
  WriteBytes(script, Bytes(code.begin(), code.end()));
  std::string output;
  RunCommand(Python() + " " + Quote(script) + " " + Quote(mp3), &output);
  std::map<std::string, std::string> frames;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    std::string bytes;
    for (size_t i = space + 1; i + 1 < line.size(); i += 2) {
      bytes.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
    }
    frames[line.substr(0, space)] = bytes;
  }
  return frames;
}

}  // namespace tonvelo::test
