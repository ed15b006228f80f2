// Encoder speed and memory on one core: a dense eight-minute piano piece
// (about 30 notes a second under changing sustain pedal) read from a MIDI
// file and converted through every format of the table that has an encoder in
// this build, to WAV without and with an eight-minute WAV accompaniment, as
// realtime factors. Beside them, for scale on whatever machine runs this:
// `sox` synthesising a sine of the same length to WAV and `lame` encoding the
// same track. Then MP3 output against `lame` at the same settings (CPU time),
// and peak resident size for a one-minute against a sixty-minute piece.
//
// Targets: at least 2500x realtime without and 1500x with accompaniment
// (Release build; judged on CPU time, since wall time on a shared machine also
// counts other processes and the disk); MP3 CPU time at most lame's; peak
// resident size of the two pieces within 2 MiB.

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/pcm_in_wav.h"
#include "audio/pcm_out_mp3.h"
#include "audio/pcm_out_wav.h"
#include "encoders/encoder_factory.h"
#include "readers/smf2mid.h"
#include "tests/support/midi_builder.h"

namespace fs = std::filesystem;
using namespace tonvelo;

namespace {

// One row per format; rows whose encoder is not in this build are skipped.
struct BenchFormat {
  int id;            // catalogue id
  const char* name;  // label in the report
};
// One row per encoder measured; the LX family reads the music twice, so its
// times include both passes.
// clang-format off
constexpr std::array<BenchFormat, 12> kFormats{{
  // id  name
  {8,  "disklavier"},
  {4,  "pianodisc_sdp"},
  {5,  "pianodisc"},
  {7,  "pianomation"},
  {0,  "lx"},
  {1,  "se"},
  {6,  "pianomation1"},
  {9,  "spirio"},
  {2,  "pianocorder"},
  {3,  "pianocorder_half"},
  {10, "cc3a"},
  {11, "cc3b"},
}};
// clang-format on

constexpr double kTargetPlain = 2500.0;
constexpr double kTargetWithAccompaniment = 1500.0;
constexpr double kRssSlackMiB = 2.0;
constexpr uint32_t kRateHz = 44100;
constexpr double kSeconds = 480.0;
constexpr int kRepeats = 3;

// Three-note chords in sixteenths at 150 BPM (30 notes a second), a held bass
// note per bar and the pedal changed on every bar; velocities vary.
std::vector<uint8_t> MakePiece(double seconds) {
  test::MidiBuilder midi(1, 480);
  midi.AddTrack().Tempo(0, 400000).TrackName(0, "Etude").End();
  auto& t = midi.AddTrack();
  t.Program(0, 0, 0);
  const uint8_t roots[4] = {48, 53, 55, 50};
  const int bars = static_cast<int>(seconds / 1.6);  // 1920 ticks = 1.6 s a bar
  uint32_t gap = 0;  // ticks from the last event written to the next
  for (int bar = 0; bar < bars; ++bar) {
    const uint8_t root = roots[bar % 4];
    // Pedal up with the new bass note, down again a moment later.
    t.Control(gap, 0, 64, 0).NoteOn(0, 0, static_cast<uint8_t>(root - 12), 70);
    gap = 0;
    for (int step = 0; step < 16; ++step) {
      static constexpr uint8_t kShape[8] = {0, 4, 7, 12, 16, 12, 7, 4};
      const auto note = static_cast<uint8_t>(root + kShape[step % 8] + 12 * (step / 8));
      const auto vel = static_cast<uint8_t>(50 + (step * 7 + bar * 3) % 40);
      t.NoteOn(gap, 0, note, vel).NoteOn(0, 0, note + 3, vel).NoteOn(0, 0, note + 10, vel);
      if (step == 0) t.Control(30, 0, 64, 127);
      t.NoteOff(step == 0 ? 80 : 110, 0, note, 0).NoteOff(0, 0, note + 3, 0);
      t.NoteOff(0, 0, note + 10, 0);
      gap = 10;
    }
    t.NoteOff(gap, 0, static_cast<uint8_t>(root - 12), 0);
    gap = 0;
  }
  t.Control(240, 0, 64, 0).End();
  return midi.Build();
}

bool WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// A stereo recording at the output rate.
bool MakeAccompaniment(const fs::path& path, double seconds) {
  CPCMOut_WAV out;
  if (out.Open(path, kRateHz, "", "", false, false) != AudioResult::kOk) return false;
  const auto frames = static_cast<uint32_t>(seconds * kRateHz);
  std::vector<int16_t> block;
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRateHz;
    block.push_back(static_cast<int16_t>(8000 * std::sin(2 * M_PI * 220 * t)));
    block.push_back(static_cast<int16_t>(6000 * std::sin(2 * M_PI * 331 * t)));
    if (block.size() == 2 * 65536 || i + 1 == frames) {
      if (out.WriteFrames(block.data(), static_cast<uint32_t>(block.size() / 2)) !=
          AudioResult::kOk) {
        return false;
      }
      block.clear();
    }
  }
  return out.Close() == AudioResult::kOk;
}

double CpuSeconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Timing {
  double wall = 1e9, cpu = 1e9;
  double seconds = 0;  // audio produced
};

// One conversion set up the way the conversion thread does it.
bool Convert(int formatId, const fs::path& midi, const fs::path& output, bool mp3,
             const fs::path* accompPath, double& seconds) {
  CSMF2MID reader;
  if (reader.Open(midi) != OpenResult::kOpened) return false;
  std::unique_ptr<CPCMIn_WAV> accomp;
  if (accompPath != nullptr) {
    accomp = std::make_unique<CPCMIn_WAV>();
    if (accomp->Open(*accompPath) != AudioResult::kOk) return false;
  }
  std::unique_ptr<CPCMOut> out;
  if (mp3) {
    out = std::make_unique<CPCMOut_MP3>();
  } else {
    out = std::make_unique<CPCMOut_WAV>();
  }
  const bool halfSpeed = formatId == 3;
  if (out->Open(output, kRateHz, "Etude", "", accomp != nullptr, halfSpeed) != AudioResult::kOk) {
    return false;
  }
  auto encoder = CreateEncoder(formatId, {});
  if (!encoder) return false;
  CancelFlag cancel{0};
  encoder->SetOutputBasePath(output.parent_path() / output.stem());
  encoder->SetSampleRate(kRateHz);
  encoder->SetVelocityProfile(0);
  encoder->SetOutput(out.get());
  if (accomp) encoder->SetAccompaniment(accomp.get());
  encoder->SetSource(&reader);
  encoder->SetCancelFlag(&cancel);
  encoder->SetTitle("Etude");
  const Result r = encoder->Encode();
  seconds = static_cast<double>(out->GetFrameCount()) * (halfSpeed ? 2 : 1) / kRateHz;
  const bool closed = out->Close() == AudioResult::kOk;
  if (accomp) (void)accomp->Close();
  return r == Result::kSuccess && closed;
}

Timing Measure(int formatId, const fs::path& midi, const fs::path& output, bool mp3,
               const fs::path* accomp, int repeats = kRepeats) {
  Timing best;
  for (int k = 0; k < repeats; ++k) {
    const double cpu0 = CpuSeconds(RUSAGE_SELF), t0 = Now();
    if (!Convert(formatId, midi, output, mp3, accomp, best.seconds)) {
      std::fprintf(stderr, "format %d: conversion failed\n", formatId);
      std::exit(1);
    }
    best.wall = std::min(best.wall, Now() - t0);
    best.cpu = std::min(best.cpu, CpuSeconds(RUSAGE_SELF) - cpu0);
  }
  return best;
}

// A shell command's wall and CPU time, best of the repeats; false when it
// fails (the tool is missing).
bool MeasureCommand(const std::string& command, Timing& best, int repeats = kRepeats) {
  for (int k = 0; k < repeats; ++k) {
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN), t0 = Now();
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return false;
    best.wall = std::min(best.wall, Now() - t0);
    best.cpu = std::min(best.cpu, CpuSeconds(RUSAGE_CHILDREN) - cpu0);
  }
  return true;
}

std::string Quote(const fs::path& p) {
  std::string quoted(1, '\'');
  quoted += p.string();
  quoted += '\'';
  return quoted;
}

void PrintFactor(const char* label, const Timing& t, double seconds, double target) {
  const double factor = seconds / t.cpu;
  std::printf("  %-28s %7.3f s wall %7.0fx   %7.3f s cpu %7.0fx%s\n", label, t.wall,
              seconds / t.wall, t.cpu, factor,
              target <= 0        ? ""
              : factor >= target ? "  (target met)"
                                 : "  (BELOW TARGET)");
}

// Peak resident size, in KiB, of a child process that converts `midi`.
long ChildPeakKiB(int formatId, const fs::path& midi, const fs::path& output,
                  const fs::path* accomp) {
  const pid_t pid = fork();
  if (pid == 0) {
    double seconds = 0;
    _exit(Convert(formatId, midi, output, false, accomp, seconds) ? 0 : 1);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  // One core: the realtime factors are per core.
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(sched_getcpu(), &one);
  sched_setaffinity(0, sizeof one, &one);

  const fs::path dir = fs::temp_directory_path() / ("tonvelo_bench_enc_" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path midi = dir / "etude.mid";
  const fs::path accomp = dir / "accomp.wav";
  if (!WriteFile(midi, MakePiece(kSeconds)) || !MakeAccompaniment(accomp, kSeconds)) {
    std::fprintf(stderr, "cannot write the inputs in %s\n", dir.c_str());
    return 1;
  }
  std::printf("Piece: %.0f s at %u Hz, ~30 notes/s with pedalling; WAV output; best of %d\n",
              kSeconds, kRateHz, kRepeats);

  Timing sox;
  const bool haveSox = MeasureCommand("sox -n -r " + std::to_string(kRateHz) + " -b 16 -c 2 " +
                                          Quote(dir / "sine.wav") + " synth " +
                                          std::to_string(kSeconds) + " sine 440",
                                      sox);
  if (haveSox) PrintFactor("sox sine to WAV", sox, kSeconds, 0);

  const fs::path plainWav = dir / "plain.wav", mixedWav = dir / "mixed.wav";
  bool lameShown = false;
  for (const BenchFormat& f : kFormats) {
    if (!CreateEncoder(f.id, {})) continue;
    std::printf("%s (id %d)\n", f.name, f.id);
    const Timing plain = Measure(f.id, midi, plainWav, false, nullptr);
    PrintFactor("to WAV", plain, plain.seconds, kTargetPlain);
    const Timing mixed = Measure(f.id, midi, mixedWav, false, &accomp);
    PrintFactor("to WAV + WAV accompaniment", mixed, mixed.seconds, kTargetWithAccompaniment);

    // MP3 at the writer's settings (plain stereo, 192 kbit/s, quality 9
    // without accompaniment, 2 with it) against lame on the WAVs just made.
    for (const bool withAccomp : {false, true}) {
      if (withAccomp && f.id != kFormats[0].id) break;  // quality 2 once is enough
      // Quality 2 is slow: one run each.
      const int repeats = withAccomp ? 1 : kRepeats;
      const Timing ours =
          Measure(f.id, midi, dir / "track.mp3", true, withAccomp ? &accomp : nullptr, repeats);
      Timing lame;
      const char* quality = withAccomp ? "2" : "9";
      const bool haveLame = MeasureCommand(
          std::string("lame --quiet -m s -b 192 -q ") + quality + " --noreplaygain -t " +
              Quote(withAccomp ? mixedWav : plainWav) + " " + Quote(dir / "lame.mp3"),
          lame, repeats);
      PrintFactor(withAccomp ? "to MP3 + accomp. (q 2)" : "to MP3 (q 9)", ours, ours.seconds, 0);
      if (haveLame) {
        PrintFactor(withAccomp ? "lame -q 2, same track" : "lame -q 9, same track", lame,
                    ours.seconds, 0);
        std::printf("  MP3 cpu / lame cpu: %.2f%s\n", ours.cpu / lame.cpu,
                    ours.cpu <= lame.cpu ? "  (target met)" : "  (BELOW TARGET)");
        lameShown = true;
      }
    }
  }
  if (!haveSox) std::printf("(sox not found: no sine reference)\n");
  if (!lameShown) std::printf("(lame not found: no MP3 reference)\n");

  // Memory: the same conversion of a 1-minute and a 60-minute piece, with an
  // accompaniment as long as each, in fresh processes.
  const BenchFormat& first = kFormats[0];
  long peak[2] = {0, 0};
  const double lengths[2] = {60.0, 3600.0};
  for (int i = 0; i < 2; ++i) {
    const fs::path m = dir / "rss.mid", a = dir / "rss.wav";
    if (!WriteFile(m, MakePiece(lengths[i])) || !MakeAccompaniment(a, lengths[i])) return 1;
    peak[i] = ChildPeakKiB(first.id, m, plainWav, &a);
    fs::remove(a);
  }
  std::printf(
      "Peak resident size, %s to WAV with accompaniment: 1 min %ld KiB, 60 min %ld KiB,"
      " difference %.2f MiB%s\n",
      first.name, peak[0], peak[1], (peak[1] - peak[0]) / 1024.0,
      peak[0] > 0 && peak[1] > 0 && (peak[1] - peak[0]) / 1024.0 <= kRssSlackMiB
          ? "  (target met)"
          : "  (BELOW TARGET)");
  fs::remove_all(dir);
  return 0;
}
