// How fast the MIDI reader opens (which includes its full opening scan) and
// then delivers every event of a generated 10 MB format-1 file with 16
// tracks, running status, controller streams and tempo changes. Target:
// open plus one full pass well under 100 ms.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "readers/smf2mid.h"

namespace {

using Bytes = std::vector<uint8_t>;

void PutVarLen(Bytes& out, uint32_t v) {
  uint8_t tmp[5];
  int n = 0;
  tmp[n++] = v & 0x7F;
  while ((v >>= 7) != 0) tmp[n++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
  while (n > 0) out.push_back(tmp[--n]);
}

void PutBE(Bytes& out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes BuildTrack(uint32_t index, size_t targetBytes) {
  Bytes t;
  uint32_t seed = 12345 + index * 7919;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  const auto ch = static_cast<uint8_t>(index % 16);
  while (t.size() < targetBytes) {
    const uint32_t r = next() % 100;
    PutVarLen(t, next() % 120);
    if (index == 0 && r < 2) {
      const uint32_t tempo = 400000 + next() % 300000;
      t.insert(t.end(), {0xFF, 0x51, 0x03});
      PutBE(t, tempo, 3);
    } else if (r < 30) {
      // A pedal or expression stream: running status after the first.
      t.insert(t.end(), {static_cast<uint8_t>(0xB0 | ch), 64, static_cast<uint8_t>(next() % 128)});
      for (int k = 0; k < 4; ++k) {
        PutVarLen(t, next() % 10);
        t.insert(t.end(), {64, static_cast<uint8_t>(next() % 128)});
      }
    } else {
      const auto note = static_cast<uint8_t>(21 + next() % 88);
      t.insert(t.end(),
               {static_cast<uint8_t>(0x90 | ch), note, static_cast<uint8_t>(1 + next() % 127)});
      PutVarLen(t, next() % 200);
      t.insert(t.end(), {note, 0});
    }
  }
  t.insert(t.end(), {0x00, 0xFF, 0x2F, 0x00});
  return t;
}

Bytes BuildFile(size_t totalBytes, uint32_t tracks) {
  Bytes f = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1};
  PutBE(f, tracks, 2);
  PutBE(f, 480, 2);
  for (uint32_t i = 0; i < tracks; ++i) {
    const Bytes t = BuildTrack(i, totalBytes / tracks);
    f.insert(f.end(), {'M', 'T', 'r', 'k'});
    PutBE(f, static_cast<uint32_t>(t.size()), 4);
    f.insert(f.end(), t.begin(), t.end());
  }
  return f;
}

// Thread CPU time as well as wall time: on a busy machine the wall clock
// mostly measures the other processes.
struct Clock {
  double wallMs;
  double cpuMs;
  static Clock Now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    const auto wall = std::chrono::steady_clock::now().time_since_epoch();
    return {std::chrono::duration<double, std::milli>(wall).count(),
            ts.tv_sec * 1e3 + ts.tv_nsec / 1e6};
  }
};

}  // namespace

int main() {
  const Bytes file = BuildFile(10u << 20, 16);
  Clock bestOpen{1e9, 1e9};
  Clock bestPass{1e9, 1e9};
  uint64_t events = 0;
  for (int round = 0; round < 5; ++round) {
    tonvelo::CSMF2MID reader;
    Bytes copy = file;
    const Clock t0 = Clock::Now();
    if (reader.OpenBuffer(std::move(copy)) != tonvelo::OpenResult::kOpened) {
      std::fprintf(stderr, "bench_readers: the generated file did not open\n");
      return 1;
    }
    const Clock t1 = Clock::Now();
    tonvelo::MusicEvent ev;
    uint64_t count = 0;
    uint64_t checksum = 0;
    while (reader.ReadEvent(ev) == tonvelo::ReadResult::kEvent) {
      ++count;
      checksum += ev.delta + ev.status;
    }
    const Clock t2 = Clock::Now();
    bestOpen = {std::min(bestOpen.wallMs, t1.wallMs - t0.wallMs),
                std::min(bestOpen.cpuMs, t1.cpuMs - t0.cpuMs)};
    bestPass = {std::min(bestPass.wallMs, t2.wallMs - t1.wallMs),
                std::min(bestPass.cpuMs, t2.cpuMs - t1.cpuMs)};
    events = count + (checksum == 0 ? 1 : 0);
  }
  std::printf("MIDI reader, %.1f MB, 16 tracks, %llu events (best of 5; wall / cpu)\n",
              file.size() / 1048576.0, static_cast<unsigned long long>(events));
  std::printf("  open (with scan): %7.2f / %7.2f ms\n", bestOpen.wallMs, bestOpen.cpuMs);
  std::printf("  one full pass:    %7.2f / %7.2f ms  (%.1f M events/s cpu)\n", bestPass.wallMs,
              bestPass.cpuMs, events / bestPass.cpuMs / 1000.0);
  std::printf("  open + pass:      %7.2f / %7.2f ms  (target < 100 ms)\n",
              bestOpen.wallMs + bestPass.wallMs, bestOpen.cpuMs + bestPass.cpuMs);
  return 0;
}
