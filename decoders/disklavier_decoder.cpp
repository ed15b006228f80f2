#include "decoders/disklavier_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <string>

namespace tonvelo {

namespace {

// Phase step (in 22.5 degree units) that each symbol value makes.
constexpr uint8_t kIncrement[16] = {3, 4, 12, 11, 2, 5, 13, 10, 0, 7, 15, 8, 1, 6, 14, 9};
constexpr uint8_t kIdleSymbol = 15;
constexpr double kStep = M_PI / 8.0;
constexpr double kSearchSeconds = 0.12;
constexpr int32_t kTableScale = 1 << 14;
constexpr double kMinLevel = 150.0;    // below this a window holds no carrier
constexpr double kCarrierShare = 0.5;  // of a window's varying energy, to count as carrier
constexpr double kCleanShare = 0.8;    // ... and to count as a clean symbol
constexpr size_t kRunToStart = 32;
constexpr int kMaxRepairs = 256;           // symbol repairs tried per track
constexpr double kDoubtfulResidual = 0.3;  // of a phase step: a symbol worth a second look     //
                                           // carrier windows in a row that begin a signal

struct WindowFit {
  double level = 0.0;  // fitted carrier amplitude
  double phase = 0.0;  // radians, against the carrier started at sample 0
  double share = 0.0;  // part of the window's varying energy the carrier explains
};

// Least-squares fit of offset + carrier to one symbol's samples. The carrier
// tables cover the carrier's sample pattern (7 samples at 44100 Hz, 160 at
// 48000 Hz); the basis sums of every window start and length are kept.
class CarrierFit {
 public:
  CarrierFit(const int16_t* x, size_t count, uint32_t rate) : x_(x), count_(count) {
    period_ = rate / std::gcd(rate, kDisklavierCarrierHz);
    minLength_ = rate / kDisklavierSymbolRate;
    cos_.resize(period_);
    sin_.resize(period_);
    for (uint32_t i = 0; i < period_; ++i) {
      const double t =
          2.0 * M_PI * static_cast<double>(uint64_t{kDisklavierCarrierHz} * i % rate) / rate;
      cos_[i] = static_cast<int32_t>(std::lround(std::cos(t) * kTableScale));
      sin_[i] = static_cast<int32_t>(std::lround(std::sin(t) * kTableScale));
    }
    basis_.resize(period_ * 2);
    for (uint32_t start = 0; start < period_; ++start) {
      for (uint32_t extra = 0; extra < 2; ++extra) {
        Basis& b = basis_[start * 2 + extra];
        for (uint32_t i = 0, p = start; i < minLength_ + extra;
             ++i, p = p + 1 == period_ ? 0 : p + 1) {
          const double c = cos_[p], s = sin_[p];
          b.c += c, b.s += s, b.cc += c * c, b.ss += s * s, b.sc += s * c;
        }
      }
    }
  }

  WindowFit Fit(size_t a, size_t b) const {
    int64_t sx = 0, sxx = 0, sxc = 0, sxs = 0;
    uint32_t p = static_cast<uint32_t>(a % period_);
    for (size_t n = a; n < b; ++n) {
      const int64_t v = x_[n];
      sx += v, sxx += v * v, sxc += v * cos_[p], sxs += v * sin_[p];
      if (++p == period_) p = 0;
    }
    const size_t len = b - a;
    const size_t extra = len > minLength_ ? 1 : 0;
    const Basis& B = basis_[(a % period_) * 2 + extra];
    const double n = static_cast<double>(len);
    // Normal equations of x = d + p*c + q*s, solved by Cramer's rule.
    const double m[3][3] = {{n, B.c, B.s}, {B.c, B.cc, B.sc}, {B.s, B.sc, B.ss}};
    const double r[3] = {static_cast<double>(sx), static_cast<double>(sxc),
                         static_cast<double>(sxs)};
    auto det3 = [](const double(&a)[3][3]) {
      return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
             a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
             a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    };
    const double det = det3(m);
    WindowFit fit;
    if (std::fabs(det) < 1e-9) return fit;
    double solution[3];
    for (int k = 0; k < 3; ++k) {
      double mk[3][3];
      for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) mk[i][j] = j == k ? r[i] : m[i][j];
      }
      solution[k] = det3(mk) / det;
    }
    const double mean = r[0] / n;
    const double varying = static_cast<double>(sxx) - r[0] * mean;
    const double explained =
        solution[0] * r[0] + solution[1] * r[1] + solution[2] * r[2] - r[0] * mean;
    const double p1 = solution[1] * kTableScale, q1 = solution[2] * kTableScale;
    fit.level = std::hypot(p1, q1);
    fit.phase = std::atan2(p1, q1);  // x = A sin(wn + phase) = A sin(phase) cos + A cos(phase) sin
    fit.share = varying > 0 ? explained / varying : 0.0;
    return fit;
  }

 private:
  struct Basis {
    double c = 0, s = 0, cc = 0, ss = 0, sc = 0;
  };
  const int16_t* x_;
  size_t count_;
  uint32_t period_ = 1;
  uint32_t minLength_ = 1;
  std::vector<int32_t> cos_, sin_;
  std::vector<Basis> basis_;
};

// First sample of symbol k counted from a symbol boundary that starts a
// frame: symbols last exactly rate/3150 samples on average.
size_t SymbolOffset(size_t k, uint32_t rate) {
  return static_cast<size_t>((uint64_t{k} * rate + kDisklavierSymbolRate - 1) /
                             kDisklavierSymbolRate);
}

bool IsCarrier(const WindowFit& f) { return f.level >= kMinLevel && f.share >= kCarrierShare; }

double Seconds(size_t sample, uint32_t rate) { return static_cast<double>(sample) / rate; }

std::string ByteText(uint8_t b) { return HexBytes({b}); }

// Bytes to messages, undoing the escapes.
// Returns the first symbol of every item that starts an error.
std::vector<uint32_t> ParseItems(DisklavierDetail& d, uint32_t rate, DecodedTrack& track) {
  std::vector<uint32_t> faults;
  const auto& items = d.items;
  auto at = [&](size_t i) {
    faults.push_back(items[i].symbol);
    return Seconds(d.SymbolSample(items[i].symbol), rate);
  };
  for (size_t i = 0; i < items.size();) {
    StreamMessage m;
    m.firstUnit = items[i].symbol;
    const uint8_t b = items[i].value;
    size_t j = i + 1;
    if (b == 0xC0) {
      m.bytes.push_back(0xF0);
      while (j < items.size() && items[j].value < 0x80) m.bytes.push_back(items[j++].value);
      if (j < items.size() && items[j].value == 0xC7) {
        m.bytes.push_back(0xF7);
        ++j;
      } else {
        AddIssue(at(i), "system exclusive message not terminated", track);
      }
    } else if (b == 0xC4) {
      if (i + 3 < items.size() && items[i + 1].value < 16 && items[i + 2].value < 0x80) {
        m.bytes = {static_cast<uint8_t>(0xC0 | items[i + 1].value), items[i + 2].value};
        if (items[i + 3].value != items[i + 2].value) {
          AddIssue(at(i), "program change repeated as " + ByteText(items[i + 3].value), track);
        }
        j = i + 4;
      } else {
        AddIssue(at(i), "program change cut short", track);
      }
    } else if (b >= 0x80 && b < 0xF0 && (b & 0xF0) != 0xC0) {
      m.bytes.push_back(b);
      const size_t need = (b & 0xF0) == 0xD0 ? 1 : 2;
      while (m.bytes.size() <= need && j < items.size() && items[j].value < 0x80) {
        m.bytes.push_back(items[j++].value);
      }
      if (m.bytes.size() <= need)
        AddIssue(at(i), "message " + HexBytes(m.bytes) + " cut short", track);
    } else {
      AddIssue(at(i), "unexpected byte " + ByteText(b), track);
      m.bytes.clear();
    }
    m.endUnit = items[j - 1].endSymbol;
    m.startSample = d.SymbolSample(m.firstUnit);
    m.endSample = d.SymbolSample(m.endUnit);
    if (!m.bytes.empty()) {
      AddChannelEvent(m, rate, track);
      d.messages.push_back(std::move(m));
    }
    i = j;
  }
  return faults;
}

// Symbol values from the phase steps between neighbours.
void SetValues(DisklavierDetail& d) {
  for (size_t k = 0; k < d.symbols.size(); ++k) {
    const uint8_t increment =
        static_cast<uint8_t>((d.symbols[k].phase + 16 - (k ? d.symbols[k - 1].phase : 0)) % 16);
    d.symbols[k].value =
        k == 0
            ? kIdleSymbol
            : static_cast<uint8_t>(std::find(kIncrement, kIncrement + 16, increment) - kIncrement);
  }
}

// Idle symbols stand only where a byte would start: no byte sent has a high
// nibble of 15. After C4 a single symbol names the channel.
void GroupItems(DisklavierDetail& d) {
  d.items.clear();
  d.messages.clear();
  for (size_t k = 0; k + 1 < d.symbols.size();) {
    if (d.symbols[k].value == kIdleSymbol) {
      ++k;
      continue;
    }
    const auto byte = static_cast<uint8_t>(d.symbols[k].value << 4 | d.symbols[k + 1].value);
    const auto at = static_cast<uint32_t>(k);
    d.items.push_back({byte, at, at + 2});
    k += 2;
    if (byte == 0xC4 && k < d.symbols.size()) {
      d.items.push_back(
          {d.symbols[k].value, static_cast<uint32_t>(k), static_cast<uint32_t>(k + 1)});
      ++k;
    }
  }
}

// Where the stream breaks its rules, a symbol read close to the boundary
// between two phases is the likely culprit (lossy codecs put noise right on
// the carrier): try its other phase, and keep it when the stream reads with
// fewer faults.
void RepairDoubtfulSymbols(DisklavierDetail& d, const std::vector<double>& residual,
                           uint32_t rate) {
  DecodedTrack scratch;
  GroupItems(d);
  std::vector<uint32_t> faults = ParseItems(d, rate, scratch);
  std::vector<bool> tried(d.symbols.size());
  uint32_t from = 0;
  for (int attempt = 0; attempt < kMaxRepairs; ++attempt) {
    const auto fault =
        std::find_if(faults.begin(), faults.end(), [&](uint32_t f) { return f >= from; });
    if (fault == faults.end()) break;
    const size_t lo = *fault > 6 ? *fault - 6 : 1,
                 hi = std::min<size_t>(d.symbols.size(), *fault + 4);
    size_t best = 0;
    double doubt = kDoubtfulResidual;
    for (size_t k = lo; k < hi; ++k) {
      if (!tried[k] && std::fabs(residual[k]) > doubt) best = k, doubt = std::fabs(residual[k]);
    }
    if (best == 0) {
      from = *fault + 1;
      continue;
    }
    tried[best] = true;
    const uint8_t kept = d.symbols[best].phase;
    d.symbols[best].phase = static_cast<uint8_t>((kept + (residual[best] > 0 ? 1 : 15)) % 16);
    SetValues(d);
    GroupItems(d);
    DecodedTrack trial;
    std::vector<uint32_t> after = ParseItems(d, rate, trial);
    if (after.size() < faults.size()) {
      faults = std::move(after);
    } else {
      d.symbols[best].phase = kept;
      SetValues(d);
    }
  }
}

}  // namespace

std::vector<uint8_t> DisklavierDetail::Values() const {
  std::vector<uint8_t> values;
  values.reserve(symbols.size());
  for (const auto& s : symbols) values.push_back(s.value);
  return values;
}

DecodedTrack DecodeDisklavier(const int16_t* samples, size_t count, uint32_t sampleRateHz) {
  return DecodeDisklavier(samples, count, sampleRateHz, nullptr);
}

DecodedTrack DecodeDisklavier(const int16_t* x, size_t count, uint32_t rate,
                              DisklavierDetail* detail) {
  DecodedTrack track;
  DisklavierDetail local;
  DisklavierDetail& d = detail ? *detail : local;
  d = DisklavierDetail{};
  if (rate < 4 * kDisklavierSymbolRate || count == 0) return track;

  // The signal starts where the samples first leave their resting value.
  size_t first = 0;
  while (first < count && std::abs(x[first] - x[0]) < 256) ++first;
  if (first == count) return track;

  // Symbol timing: the frame pattern of window lengths repeats every
  // `pattern` samples; the alignment that lets the carrier explain the most
  // energy over the first moments is the right one.
  const CarrierFit fit(x, count, rate);
  const size_t pattern = rate / std::gcd(rate, kDisklavierSymbolRate);
  const size_t origin = first > pattern ? first - pattern : 0;
  const size_t searchEnd = std::min(count, first + static_cast<size_t>(kSearchSeconds * rate));
  size_t bestShift = 0;
  double bestEnergy = -1.0;
  for (size_t shift = 0; shift < pattern; ++shift) {
    double energy = 0.0;
    for (size_t k = 0; origin + shift + SymbolOffset(k + 1, rate) <= searchEnd; ++k) {
      const WindowFit f = fit.Fit(origin + shift + SymbolOffset(k, rate),
                                  origin + shift + SymbolOffset(k + 1, rate));
      energy += f.level * f.level * f.share;
    }
    if (energy > bestEnergy) bestEnergy = energy, bestShift = shift;
  }
  const size_t base = origin + bestShift;

  std::vector<WindowFit> windows;
  for (size_t k = 0; base + SymbolOffset(k + 1, rate) <= count; ++k) {
    windows.push_back(fit.Fit(base + SymbolOffset(k, rate), base + SymbolOffset(k + 1, rate)));
  }
  // The signal spans from the first to the last run of carrier windows.
  size_t begin = windows.size(), end = 0, run = 0;
  for (size_t k = 0; k < windows.size(); ++k) {
    run = IsCarrier(windows[k]) ? run + 1 : 0;
    if (run == kRunToStart) {
      if (begin == windows.size()) begin = k + 1 - kRunToStart;
      end = k + 1;
    } else if (run > kRunToStart) {
      end = k + 1;
    }
  }
  if (begin >= end) return track;

  d.leadSamples = static_cast<uint32_t>(base + SymbolOffset(begin, rate));
  d.endSample = static_cast<uint32_t>(base + SymbolOffset(end, rate));
  const double leadAngle =
      2.0 * M_PI * static_cast<double>(uint64_t{kDisklavierCarrierHz} * d.leadSamples % rate) /
      rate;
  std::vector<double> residual;  // signed distance from the chosen phase, in steps
  size_t clean = 0;
  d.minLevel = 1e9;
  for (size_t k = begin; k < end; ++k) {
    const WindowFit& f = windows[k];
    DisklavierSymbol s;
    s.startSample = static_cast<uint32_t>(base + SymbolOffset(k, rate));
    double phase = std::fmod(f.phase + leadAngle, 2.0 * M_PI);
    if (phase < 0) phase += 2.0 * M_PI;
    const long step = std::lround(phase / kStep);
    residual.push_back(phase / kStep - static_cast<double>(step));
    const double error = std::fabs(residual.back()) * 22.5;
    s.phase = static_cast<uint8_t>(step % 16);
    s.readable = IsCarrier(f);
    if (s.readable) {
      d.worstPhaseErrorDegrees = std::max(d.worstPhaseErrorDegrees, error);
      d.minLevel = std::min(d.minLevel, f.level);
      d.maxLevel = std::max(d.maxLevel, f.level);
      clean += f.share >= kCleanShare && error < 5.625;
    } else {
      AddIssue(Seconds(s.startSample, rate), "unreadable symbol", track);
    }
    d.symbols.push_back(s);
  }

  // The first symbol only sets the reference: the carrier's phase before it
  // is unknown when the polarity is inverted or the track starts in the
  // middle of a signal. The line starts idle.
  SetValues(d);
  RepairDoubtfulSymbols(d, residual, rate);
  GroupItems(d);
  ParseItems(d, rate, track);
  std::stable_sort(
      track.errors.begin(), track.errors.end(),
      [](const DecodeIssue& a, const DecodeIssue& b) { return a.timeSeconds < b.timeSeconds; });

  const double spanSymbols = static_cast<double>(d.symbols.size());
  track.family = SignalFamily::kDisklavier;
  track.formatId = 8;
  track.confidence = static_cast<double>(clean) / spanSymbols * std::min(1.0, spanSymbols / 64.0) *
                     StreamValidity(d.messages.size(), track.errors.size());
  track.dataStartSeconds = Seconds(d.leadSamples, rate);
  track.dataEndSeconds = Seconds(d.endSample, rate);
  track.unitsDecoded = static_cast<uint32_t>(d.messages.size());
  return track;
}

}  // namespace tonvelo
