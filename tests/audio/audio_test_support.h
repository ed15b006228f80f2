#pragma once
// Shared pieces of the audio tests: a per-test temporary folder, RIFF files
// assembled chunk by chunk, file-size limits that make writes fail at a chosen
// byte, and the external tools (mpg123, lame, python3 with mutagen) used as
// independent checks.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/wav_builder.h"

namespace tonvelo::test {

namespace fs = std::filesystem;

class AudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    dir_ = fs::temp_directory_path() / ("tonvelo_audio_" + std::to_string(::getpid()) + "_" + name);
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

inline void PutTag(Bytes& out, const char* id) { out.insert(out.end(), id, id + 4); }

// "RIFF" <size> "WAVE" followed by chunks appended verbatim (no pad bytes).
class RiffBuilder {
 public:
  explicit RiffBuilder(const char* riffId = "RIFF") {
    PutTag(bytes_, riffId);
    PutLE(bytes_, 0, 4);
    PutTag(bytes_, "WAVE");
  }
  RiffBuilder& Chunk(const char* id, const Bytes& body) {
    return ChunkSized(id, static_cast<uint32_t>(body.size()), body);
  }
  // A size field that need not match the body.
  RiffBuilder& ChunkSized(const char* id, uint32_t sizeBytes, const Bytes& body) {
    PutTag(bytes_, id);
    PutLE(bytes_, sizeBytes, 4);
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    return *this;
  }
  RiffBuilder& Fmt(uint16_t channels, uint32_t rate, uint16_t bits, size_t extraBytes = 0) {
    return FmtRaw(channels, rate, rate * channels * bits / 8, channels * bits / 8, bits,
                  extraBytes);
  }
  RiffBuilder& FmtRaw(uint16_t channels, uint32_t rate, uint32_t byteRate, uint16_t blockAlign,
                      uint16_t bits, size_t extraBytes = 0) {
    Bytes body;
    PutLE(body, 1, 2);
    PutLE(body, channels, 2);
    PutLE(body, rate, 4);
    PutLE(body, byteRate, 4);
    PutLE(body, blockAlign, 2);
    PutLE(body, bits, 2);
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

inline Bytes Samples16(std::initializer_list<int16_t> samples) {
  Bytes out;
  for (int16_t s : samples) PutLE(out, static_cast<uint16_t>(s), 2);
  return out;
}

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

// Runs a shell command; returns its exit status and collects its stdout.
inline int RunCommand(const std::string& command, std::string* output = nullptr) {
  std::FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
    if (output != nullptr) output->append(buf, n);
  }
  return ::pclose(p);
}

inline bool HaveTool(const std::string& probe) {
  return RunCommand(probe + " >/dev/null 2>&1") == 0;
}

inline std::string Python() {
  const char* env = std::getenv("TONVELO_PYTHON");
  return env != nullptr ? env : "/usr/bin/python3";
}

inline std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

}  // namespace tonvelo::test
