#pragma once
// For audio, pipeline and command tests: a test folder, RIFF files, full disks, tones.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>  // for the command tests

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
  RiffBuilder& Fmt(uint16_t channels, uint32_t rate, uint16_t bits, size_t extraBytes = 0) {
    Bytes body;
    PutLE(body, 1, 2), PutLE(body, channels, 2), PutLE(body, rate, 4);
    PutLE(body, rate * channels * bits / 8, 4), PutLE(body, channels * bits / 8u, 2);
    PutLE(body, bits, 2);
    body.resize(body.size() + extraBytes, 0xAB);
    return Chunk("fmt ", body);
  }
  Bytes Build() const {
    Bytes out = bytes_;
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>((out.size() - 8) >> (8 * i));
    return out;
  }

 private:
  Bytes bytes_;
};

// Writes beyond limitBytes fail (EFBIG) while the guard lives.
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

// The python3 with mido and mutagen (TONVELO_PYTHON, as ctest sets it).
inline std::string Python() {
  const char* env = std::getenv("TONVELO_PYTHON");
  return env != nullptr ? env : "/usr/bin/python3";
}
inline std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }
inline bool HaveTool(const std::string& probe) {
  return RunCommand(probe + " >/dev/null 2>&1") == 0;
}

// A 1 kHz tone at amplitude 10000.
inline int16_t Tone(uint32_t frame, uint32_t rate) {
  return static_cast<int16_t>(std::lround(10000.0 * std::sin(2 * M_PI * 1000.0 * frame / rate)));
}

// `frames` frames through the product's MP3 writer: the tone left, silence right.
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

}  // namespace tonvelo::test
