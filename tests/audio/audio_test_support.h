#pragma once
// Shared pieces of the audio and conversion-thread tests: a per-test
// temporary folder, RIFF files assembled chunk by chunk, a file-size limit
// that makes writes fail at a chosen byte, MP3 tone files, and the
// independent checks (mpg123, lame, python3 with mutagen).

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "audio/pcm_in.h"
#include "audio/pcm_out_mp3.h"
#include "tests/support/wav_builder.h"

namespace tonvelo::test {

namespace fs = std::filesystem;

class AudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = fs::temp_directory_path() / ("tonvelo_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path Path(const std::string& name) const { return dir_ / name; }

  fs::path dir_;
};

inline Bytes ReadBytes(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline uint32_t LE32(const Bytes& b, size_t o) {
  return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | static_cast<uint32_t>(b[o + 3]) << 24;
}

inline Bytes Samples16(std::initializer_list<int16_t> samples) {
  Bytes out;
  for (int16_t s : samples) PutLE(out, static_cast<uint16_t>(s), 2);
  return out;
}

// "RIFF" <size> "WAVE" followed by chunks appended verbatim (no pad bytes).
class RiffBuilder {
 public:
  explicit RiffBuilder(const char* riffId = "RIFF") : bytes_(riffId, riffId + 4) {
    bytes_.insert(bytes_.end(), {0, 0, 0, 0, 'W', 'A', 'V', 'E'});
  }
  // sizeBytes >= 0: a size field that need not match the body.
  RiffBuilder& Chunk(const char* id, const Bytes& body, int64_t sizeBytes = -1) {
    bytes_.insert(bytes_.end(), id, id + 4);
    PutLE(bytes_, static_cast<uint32_t>(sizeBytes < 0 ? body.size() : sizeBytes), 4);
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    return *this;
  }
  // Byte rate and block align follow from the rest, as a plain PCM fmt has them.
  RiffBuilder& Fmt(uint16_t channels, uint32_t rate, uint16_t bits, size_t extraBytes = 0) {
    Bytes body;
    for (auto [v, n] : {std::pair<uint32_t, int>{1, 2},
                        {channels, 2},
                        {rate, 4},
                        {rate * channels * bits / 8, 4},
                        {channels * bits / 8u, 2},
                        {bits, 2}}) {
      PutLE(body, v, n);
    }
    body.resize(body.size() + extraBytes, 0xAB);
    return Chunk("fmt ", body);
  }
  Bytes Build() const {
    Bytes out = bytes_;
    const uint32_t riffSize = static_cast<uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(riffSize >> (8 * i));
    return out;
  }

 private:
  Bytes bytes_;
};

// Writes beyond limitBytes fail (EFBIG) while the guard lives: a disk that
// fills at an exact byte.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limitBytes) {
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = limitBytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit saved_{};
};

// An accompaniment reader's rate, channels, bits per sample and length.
using Format = std::array<uint32_t, 4>;
inline Format Describe(const CPCMIn& in) {
  return {in.GetSampleRate(), in.GetChannels(), in.GetBitsPerSample(), in.GetLength()};
}

// Runs a shell command; returns its exit status and collects its stdout.
inline int RunCommand(const std::string& command, std::string* output = nullptr) {
  std::FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) {
    if (output != nullptr) output->append(buf, n);
  }
  return ::pclose(p);
}

inline std::string Python() {
  const char* env = std::getenv("TONVELO_PYTHON");
  return env != nullptr ? env : "/usr/bin/python3";
}
inline std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }
inline bool HaveTool(const std::string& probe) {
  return RunCommand(probe + " >/dev/null 2>&1") == 0;
}
inline bool HaveMpg123() { return HaveTool("mpg123 --version"); }

// A 1 kHz tone at amplitude 10000.
inline int16_t Tone(uint32_t frame, uint32_t rate) {
  return static_cast<int16_t>(std::lround(10000.0 * std::sin(2 * M_PI * 1000.0 * frame / rate)));
}

// Writes `frames` frames through the product's MP3 writer: the tone on the
// left, silence on the right.
inline bool WriteToneMp3(const fs::path& path, uint32_t frames, uint32_t rate = 44100,
                         bool highQuality = false, const std::string& title = "song",
                         const fs::path& tagsPath = {}) {
  CPCMOut_MP3 out;
  if (out.Open(path, rate, title, tagsPath, highQuality, false) != AudioResult::kOk) return false;
  for (uint32_t i = 0; i < frames; ++i) {
    if (out.WriteFrame(Tone(i, rate), 0) != AudioResult::kOk) return false;
  }
  return out.Close() == AudioResult::kOk;
}

inline size_t Id3v2Bytes(const Bytes& b) {
  if (b.size() < 10 || b[0] != 'I' || b[1] != 'D' || b[2] != '3') return 0;
  return 10 + (size_t{b[6]} << 21 | size_t{b[7]} << 14 | size_t{b[8]} << 7 | b[9]);
}

struct FrameHeader {
  size_t offset = 0;
  int bitrateKbps = 0;
  uint32_t rate = 0;
  int modeBits = 0;  // channel mode (0 stereo), copyright, original
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
    const FrameHeader h{o, kBitrates[b[o + 2] >> 4], kRates[(b[o + 2] >> 2) & 3], b[o + 3] & 0xCC};
    if (h.bitrateKbps == 0 || h.rate == 0) return false;
    frames.push_back(h);
    o += 144 * 1000 * static_cast<size_t>(h.bitrateKbps) / h.rate + ((b[o + 2] >> 1) & 1);
  }
  return o == b.size();
}

// Decodes with mpg123 into a WAV and describes it; all zero on failure.
inline Format DecodeWithMpg123(const fs::path& mp3, const fs::path& wav) {
  if (RunCommand("mpg123 -q -w " + Quote(wav) + " " + Quote(mp3) + " 2>/dev/null") != 0) return {};
  const Bytes b = ReadBytes(wav);
  if (b.size() < 44 || b[22] * b[34] == 0) return {};
  return {LE32(b, 24), b[22], b[34], LE32(b, 40) / (b[22] * b[34] / 8u)};
}

// The ID3v2 text frames as mutagen reads them: frame id to the stored bytes,
// and, when asked, to the frame's text encoding (0 Latin-1, 1 UTF-16).
inline std::map<std::string, std::string> ReadId3Frames(
    const fs::path& mp3, std::map<std::string, int>* encodings = nullptr) {
  const std::string code =
      "import sys\nfrom mutagen.id3 import ID3\n"
      "for f in ID3(sys.argv[1], translate=False).values():\n"
      "    print(f.FrameID, int(f.encoding),\n"
      "          str(f).encode('latin-1' if f.encoding == 0 else 'utf-8').hex())\n";
  WriteBytes(mp3.string() + ".py", Bytes(code.begin(), code.end()));
  std::string output;
  RunCommand(Python() + " " + Quote(mp3.string() + ".py") + " " + Quote(mp3), &output);
  std::map<std::string, std::string> frames;
  std::istringstream lines(output);
  int encoding = 0;
  for (std::string id, hex; lines >> id >> encoding >> hex;) {
    if (encodings != nullptr) (*encodings)[id] = encoding;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      frames[id].push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
  }
  return frames;
}

}  // namespace tonvelo::test
