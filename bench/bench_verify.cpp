// How fast `verify` reads a track back: a three-minute track per format
// (data and accompaniment, as WAV) loaded, detected on both channels and
// decoded, on one core. The aim is at least 300 times realtime.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "audio/pcm_out_wav.h"
#include "encoders/encoder_factory.h"
#include "pipeline/track_check.h"
#include "readers/smf2mid.h"

namespace {

using namespace tonvelo;

// A three-minute song: a note every 60 ms over the sustain pedal.
std::vector<uint8_t> Song() {
  std::vector<uint8_t> t = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20};
  for (int k = 0; k < 3000; ++k) {
    const uint8_t note = static_cast<uint8_t>(40 + k * 7 % 48);
    t.insert(t.end(),
             {0x00, 0x90, note, static_cast<uint8_t>(30 + k % 90), 0x39, 0x80, note, 0x40});
    if (k % 16 == 0) t.insert(t.end(), {0x00, 0xB0, 64, static_cast<uint8_t>(k % 32 ? 0 : 127)});
  }
  t.insert(t.end(), {0x00, 0xFF, 0x2F, 0x00});
  std::vector<uint8_t> f = {'M', 'T', 'h', 'd',  0,    0,   0,   6,   0,
                            0,   0,   1,   0x01, 0xE0, 'M', 'T', 'r', 'k'};
  for (int i = 3; i >= 0; --i) f.push_back(static_cast<uint8_t>(t.size() >> (8 * i)));
  f.insert(f.end(), t.begin(), t.end());
  return f;
}

}  // namespace

int main() {
  const auto path = std::filesystem::temp_directory_path() / "tonvelo_bench_verify.wav";
  std::printf("format  rate   track s  verify s  x realtime\n");
  for (int id : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) {
    for (uint32_t rate : {44100u, 48000u}) {
      CSMF2MID reader;
      if (reader.OpenBuffer(Song()) != OpenResult::kOpened) return 1;
      CPCMOut_WAV out;
      CancelFlag cancel{0};
      const bool halfSpeed = id == 3;  // the writer doubles every frame
      if (out.Open(path, rate, "bench", {}, false, halfSpeed) != AudioResult::kOk) return 1;
      auto enc = CreateEncoder(id, {});
      enc->SetSampleRate(rate);
      enc->SetOutput(&out);
      enc->SetSource(&reader);
      enc->SetCancelFlag(&cancel);
      if (enc->Encode() != Result::kSuccess || out.Close() != AudioResult::kOk) return 1;
      const double seconds = static_cast<double>(out.GetFrameCount()) * (halfSpeed ? 2 : 1) / rate;
      const auto t0 = std::chrono::steady_clock::now();
      const VerifyResult v = VerifyTrack(path, {}, ConversionSettings{});
      const double took =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (v.result != Result::kSuccess) std::printf("%s", v.report.c_str());
      std::printf("%6d  %5u  %7.1f  %8.3f  %10.0f\n", id, rate, seconds, took, seconds / took);
    }
  }
  std::filesystem::remove(path);
  return 0;
}
