// Encoder speed: a dense three-minute piano piece (about ten notes a second
// under sustain pedalling) read by the MIDI reader and converted through each
// encoder in the table below, with and without a three-minute WAV
// accompaniment, as realtime factors. One core; best of a few runs.
//
// Targets: Disklavier to WAV at least 1000x realtime without accompaniment
// and 500x with it. To measure another format, add a row to kFormats.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/pcm_in_wav.h"
#include "audio/pcm_out_null.h"
#include "audio/pcm_out_wav.h"
#include "encoders/encoder_factory.h"
#include "readers/smf2mid.h"
#include "tests/support/midi_builder.h"

namespace fs = std::filesystem;
using namespace tonvelo;

namespace {

struct BenchFormat {
  int id;            // catalogue id
  const char* name;  // label in the report
  double targetPlain;         // realtime factor to reach without accompaniment
  double targetWithAccomp;    // and with it
};

// One row per encoder measured; the serial encoders add theirs here. The LX
// family reads the music twice: its times include both passes.
constexpr std::array<BenchFormat, 12> kFormats{{
    {8, "disklavier", 1000.0, 500.0},
    {4, "pianodisc_sdp", 1000.0, 500.0},
    {5, "pianodisc", 1000.0, 500.0},
    {7, "pianomation", 1000.0, 500.0},
    {0, "lx", 2500.0, 1500.0},
    {1, "se", 2500.0, 1500.0},
    {6, "pianomation1", 2500.0, 1500.0},
    {9, "spirio", 2500.0, 1500.0},
    {2, "pianocorder", 2500.0, 1500.0},
    {3, "pianocorder_half", 2500.0, 1500.0},
    {10, "cc3a", 2500.0, 1500.0},
    {11, "cc3b", 2500.0, 1500.0},
}};
constexpr int kHalfSpeedFormat = 3;  // the writer stores every frame twice

constexpr double kSeconds = 180.0;
constexpr int kRepeats = 3;

// Broken chords in sixteenths at 150 BPM (10 notes a second), a held bass
// note per bar and the pedal changed on every bar; velocities vary.
std::vector<uint8_t> MakePiece() {
  test::MidiBuilder midi(1, 480);
  midi.AddTrack().Tempo(0, 400000).TrackName(0, "Etude").End();
  auto& t = midi.AddTrack();
  t.Program(0, 0, 0);
  const uint8_t roots[4] = {48, 53, 55, 50};
  const int bars = static_cast<int>(kSeconds / 1.6);  // 1920 ticks = 1.6 s a bar
  uint32_t gap = 0;  // ticks from the last event written to the next
  for (int bar = 0; bar < bars; ++bar) {
    const uint8_t root = roots[bar % 4];
    const auto bass = static_cast<uint8_t>(root - 12);
    // Pedal up with the new bass note, down again a moment later.
    t.Control(gap, 0, 64, 0).NoteOn(0, 0, bass, 70);
    gap = 0;
    for (int step = 0; step < 16; ++step) {
      static constexpr uint8_t kShape[8] = {0, 4, 7, 12, 16, 12, 7, 4};
      const auto note = static_cast<uint8_t>(root + kShape[step % 8] + 12 * (step / 8));
      const auto vel = static_cast<uint8_t>(50 + (step * 7 + bar * 3) % 40);
      t.NoteOn(gap, 0, note, vel);
      if (step == 0) {
        t.Control(30, 0, 64, 127).NoteOff(80, 0, note, 0);
      } else {
        t.NoteOff(110, 0, note, 0);
      }
      gap = 10;
    }
    t.NoteOff(gap, 0, bass, 0);
    gap = 0;
  }
  t.Control(240, 0, 64, 0).End();
  return midi.Build();
}

// A three-minute stereo recording at the output rate.
bool MakeAccompaniment(const fs::path& path, uint32_t rate) {
  CPCMOut_WAV out;
  if (out.Open(path, rate, "", "", false, false) != AudioResult::kOk) return false;
  const auto frames = static_cast<uint32_t>(kSeconds * rate);
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const auto l = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 220 * t));
    const auto r = static_cast<int16_t>(6000 * std::sin(2 * M_PI * 331 * t));
    if (out.WriteFrame(l, r) != AudioResult::kOk) return false;
  }
  return out.Close() == AudioResult::kOk;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double wall = 1e9, cpu = 1e9;
  uint32_t frames = 0;
};

// One conversion set up the way the conversion thread does it.
bool Convert(const BenchFormat& f, const std::vector<uint8_t>& midi, uint32_t rate,
             const fs::path& output, const fs::path* accompPath, bool discard,
             uint32_t& frames) {
  CSMF2MID reader;
  if (reader.OpenBuffer(midi) != OpenResult::kOpened) return false;
  std::unique_ptr<CPCMIn_WAV> accomp;
  if (accompPath != nullptr) {
    accomp = std::make_unique<CPCMIn_WAV>();
    if (accomp->Open(*accompPath) != AudioResult::kOk) return false;
  }
  std::unique_ptr<CPCMOut> out;
  if (discard) {
    out = std::make_unique<CPCMOut_NULL>();
  } else {
    out = std::make_unique<CPCMOut_WAV>();
  }
  if (out->Open(output, rate, "Etude", "", accomp != nullptr, f.id == kHalfSpeedFormat) !=
      AudioResult::kOk) {
    return false;
  }
  auto encoder = CreateEncoder(f.id, {});
  if (!encoder) return false;
  CancelFlag cancel{0};
  encoder->SetOutputBasePath(output.parent_path() / output.stem());
  encoder->SetSampleRate(rate);
  encoder->SetVelocityProfile(0);
  encoder->SetOutput(out.get());
  if (accomp) encoder->SetAccompaniment(accomp.get());
  encoder->SetSource(&reader);
  encoder->SetCancelFlag(&cancel);
  encoder->SetTitle("Etude");
  const Result r = encoder->Encode();
  frames = out->GetFrameCount() * (f.id == kHalfSpeedFormat ? 2 : 1);
  const bool closed = out->Close() == AudioResult::kOk;
  if (accomp) (void)accomp->Close();
  return r == Result::kSuccess && closed;
}

Timing Measure(const BenchFormat& f, const std::vector<uint8_t>& midi, uint32_t rate,
               const fs::path& output, const fs::path* accomp, bool discard) {
  Timing best;
  for (int k = 0; k < kRepeats; ++k) {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    uint32_t frames = 0;
    if (!Convert(f, midi, rate, output, accomp, discard, frames)) {
      std::fprintf(stderr, "%s: conversion failed\n", f.name);
      std::exit(1);
    }
    best.wall = std::min(best.wall,
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    best.cpu = std::min(best.cpu, CpuSeconds() - cpu0);
    best.frames = frames;
  }
  return best;
}

void Report(const BenchFormat& f, uint32_t rate, const char* what, const Timing& t,
            double target) {
  const double seconds = static_cast<double>(t.frames) / rate;
  const double wallFactor = seconds / t.wall;
  std::printf("%-13s %5u Hz  %-22s %6.1f s out  %7.3f s wall %7.0fx  %7.3f s cpu %7.0fx%s\n",
              f.name, rate, what, seconds, t.wall, wallFactor, t.cpu, seconds / t.cpu,
              target > 0 ? (wallFactor >= target ? "  (target met)" : "  (BELOW TARGET)") : "");
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / ("tonvelo_bench_enc_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::vector<uint8_t> midi = MakePiece();
  std::printf("Piece: %.0f s, ~10 notes/s with pedalling; best of %d runs\n", kSeconds, kRepeats);
  for (uint32_t rate : {44100u, 48000u}) {
    const fs::path accomp = dir / ("accomp_" + std::to_string(rate) + ".wav");
    if (!MakeAccompaniment(accomp, rate)) {
      std::fprintf(stderr, "cannot write %s\n", accomp.c_str());
      return 1;
    }
    for (const BenchFormat& f : kFormats) {
      const fs::path out = dir / (std::string(f.name) + ".wav");
      Report(f, rate, "encoder only (discard)", Measure(f, midi, rate, out, nullptr, true), 0);
      Report(f, rate, "to WAV", Measure(f, midi, rate, out, nullptr, false), f.targetPlain);
      Report(f, rate, "to WAV + accompaniment", Measure(f, midi, rate, out, &accomp, false),
             f.targetWithAccomp);
    }
  }
  fs::remove_all(dir);
  return 0;
}
