#include "readers/eseq2mid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "readers/file_image.h"

namespace tonvelo {

namespace {

constexpr uint32_t kMagicOffset = 7;
constexpr uint32_t kBlockLengthOffset = 27;
constexpr uint32_t kPartCountOffset = 35;
constexpr uint32_t kTempoCodeOffset = 36;
constexpr uint32_t kBlockTempoOffset = 12;
constexpr uint32_t kBlockTitleOffset = 48;
constexpr uint32_t kTitleHalfBytes = 16;
constexpr uint32_t kBaseDivision = 1536;  // ticks per whole note

// Data bytes of a channel status, indexed by (status >> 4) & 7.
constexpr uint8_t kDataBytes[8] = {2, 2, 2, 2, 1, 1, 2, 0};

uint32_t LE32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint32_t BpmFromCode(uint8_t code) { return code == 0 ? 120 : code + 29u; }

// trunc(60 000 000 / bpm + 0.5) in integers.
uint32_t TempoUsFromBpm(uint32_t bpm) { return (120000000u + bpm) / (2 * bpm); }

uint32_t SaturateToU32(double v) {
  return v >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(v);
}

constexpr const char* kEndsEarlyProblem = "The file ends before its events begin: it was cut off.";

// The first block and the event data follow the header directly; a first
// block that leaves no event data is damage.
OpenResult CheckHeader(const uint8_t* header, uint32_t fileSize) {
  if (std::memcmp(header + kMagicOffset, "COM-ESEQ", 8) != 0) return OpenResult::kNotThisFormat;
  if (LE32(header + kBlockLengthOffset) >= fileSize - kEseqHeaderBytes) {
    return OpenResult::kDamaged;
  }
  return OpenResult::kOpened;
}

}  // namespace

CESEQ2MID::~CESEQ2MID() { Close(); }

std::string CESEQ2MID::CleanTitle(const uint8_t* halves32) {
  std::string out;
  char previous = ' ';
  for (uint32_t i = 0; i < 2 * kTitleHalfBytes; ++i) {
    const char c = static_cast<char>(halves32[i]);
    if (c == ' ' && previous == ' ') continue;
    out.push_back(c);
    previous = c;
    // A word running over the half boundary is two words, not one.
    const uint8_t next = halves32[kTitleHalfBytes];
    if (i == kTitleHalfBytes - 1 && c != ' ' && next != ' ' && next != 0) out.push_back(' ');
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  const size_t nul = out.find('\0');
  if (nul != std::string::npos) out.resize(nul);
  return out;
}

OpenResult CESEQ2MID::Open(const std::filesystem::path& path) {
  Close();
  damaged_ = false;
  // Once the header is known good, a file that ends early is damaged.
  constexpr FileImageResults kLoadResults{.shortHeader = OpenResult::kReadIncomplete,
                                          .shortRest = OpenResult::kDamaged};
  problem_ = nullptr;
  const OpenResult r = file_image_load(path, kEseqHeaderBytes, CheckHeader, kLoadResults, file_);
  if (r == OpenResult::kDamaged) problem_ = kEndsEarlyProblem;
  if (r != OpenResult::kOpened) return r;
  return Setup();
}

OpenResult CESEQ2MID::OpenBuffer(std::vector<uint8_t> bytes) {
  Close();
  damaged_ = false;
  if (bytes.size() < kEseqHeaderBytes || bytes.size() > UINT32_MAX) {
    return OpenResult::kReadIncomplete;
  }
  problem_ = nullptr;
  const OpenResult r = CheckHeader(bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (r == OpenResult::kDamaged) problem_ = kEndsEarlyProblem;
  if (r != OpenResult::kOpened) return r;
  file_ = std::move(bytes);
  return Setup();
}

OpenResult CESEQ2MID::Setup() {
  const uint8_t* d = file_.data();
  const auto size = static_cast<uint32_t>(file_.size());
  partCount_ = d[kPartCountOffset];
  initialBpm_ = BpmFromCode(d[kTempoCodeOffset]);
  blockLength_ = LE32(d + kBlockLengthOffset);
  numerator_ = 4;
  beatExponent_ = 2;
  storedByte_ = 0;
  events_ = d + kEseqHeaderBytes + blockLength_;
  eventsLength_ = size - kEseqHeaderBytes - blockLength_;
  try {
    title_.clear();
    // Only the 80-byte block layout is known: its tempo overrides the
    // header's, and it carries the title.
    if (blockLength_ == kEseqTitleBlockBytes) {
      const uint8_t* block = d + kEseqHeaderBytes;
      title_ = CleanTitle(block + kBlockTitleOffset);
      initialBpm_ = BpmFromCode(block[kBlockTempoOffset]);
    }
  } catch (const std::bad_alloc&) {
    Close();
    return OpenResult::kOutOfMemory;
  }
  loaded_ = true;
  damaged_ = false;
  atEnd_ = false;

  // The opening scan measures the length. It stops at the first bad event:
  // such a file still opens and reports its damage while it is encoded.
  (void)Rewind();
  double sumMs = 0.0;
  MusicEvent ev;
  while (ReadEvent(ev) == ReadResult::kEvent) sumMs += ev.delta * 1000.0 / ticksPerSecond_;
  lengthMs_ = SaturateToU32(std::trunc(sumMs + 0.5));
  return Rewind();
}

void CESEQ2MID::Close() {
  std::vector<uint8_t>().swap(file_);
  std::string().swap(title_);
  events_ = nullptr;
  eventsLength_ = 0;
  pos_ = 0;
  loaded_ = false;
  atEnd_ = true;
}

void CESEQ2MID::ResetReadState() {
  pos_ = 0;
  inPart_ = false;
  partsFinished_ = 0;
  bpm_ = initialBpm_;
  carriedTicks_ = 0;
}

void CESEQ2MID::RecomputeTiming() {
  // Beat exponents above 10 would give 0 ticks per beat, which no clock can
  // divide by; they act as 10, the shortest beat that still has a tick.
  division_ = std::max<uint32_t>(1, kBaseDivision >> (beatExponent_ & 31));
  ticksPerSecond_ = static_cast<double>(bpm_) * speed_ * division_ / 6000.0;
  maxGapTicks_ = SaturateToU32(std::trunc(ticksPerSecond_ + 0.5) * maxGapSeconds_);
}

OpenResult CESEQ2MID::Rewind() {
  if (!loaded_) return OpenResult::kCannotOpen;
  ResetReadState();
  atEnd_ = false;
  RecomputeTiming();
  return OpenResult::kOpened;
}

CESEQ2MID::Decoded CESEQ2MID::DecodeEvent(RawEvent& out) {
  const uint8_t* d = events_;
  const uint32_t end = eventsLength_;
  // Every operand must lie inside the event data; bytes that were examined
  // are consumed even on error, so each call makes progress.
  auto take = [&](uint8_t& v) {
    if (pos_ >= end) return false;
    v = d[pos_++];
    return true;
  };
  auto take7 = [&](uint8_t& v) { return take(v) && v < 0x80; };
  // Two operands are consumed together, so a bad first one does not leave
  // the second to be misread as a status.
  auto take7x2 = [&](uint8_t& a, uint8_t& b) { return take(a) && take(b) && a < 0x80 && b < 0x80; };
  auto channel = [&](uint8_t status) {
    const uint8_t n = kDataBytes[(status >> 4) & 7];
    if (n > end - pos_) {
      pos_ = end;
      return Decoded::kError;
    }
    out.kind = kEventChannel;
    out.status = status;
    out.data = d + pos_;
    out.length = n;
    pos_ += n;
    return Decoded::kEvent;
  };

  out.delta = 0;
  for (;;) {
    if (pos_ >= end) return Decoded::kEndOfData;
    const uint8_t b = d[pos_++];
    if (!inPart_ && b != 0xF1) continue;
    if (b < 0x80) return Decoded::kError;
    if (b < 0xF0) return channel(b);
    uint8_t lo = 0;
    uint8_t hi = 0;
    switch (b) {
      case 0xF0: {
        const uint8_t* stop = std::find(d + pos_, d + end, uint8_t{0xF7});
        if (stop == d + end) {
          pos_ = end;
          return Decoded::kError;
        }
        const uint32_t start = pos_ - 1;
        pos_ = static_cast<uint32_t>(stop - d) + 1;
        out.kind = kEventSysEx;
        out.status = 0xF0;
        out.data = d + start;
        out.length = pos_ - start;
        return Decoded::kEvent;
      }
      case 0xF1:
        if (partsFinished_ > 0 && (partsFinished_ == partCount_ || partCount_ == 0)) {
          return Decoded::kEndOfData;
        }
        if (!take(lo)) return Decoded::kError;
        inPart_ = true;
        break;
      case 0xF2:
        ++partsFinished_;
        inPart_ = false;
        if (partsFinished_ == partCount_) {
          out.kind = kEventMeta;
          out.status = 0x2F;
          out.data = nullptr;
          out.length = 0;
          return Decoded::kEvent;
        }
        break;
      case 0xF3:
        if (!take7(lo)) return Decoded::kError;
        out.delta += lo;
        break;
      case 0xF4:
        if (!take7x2(lo, hi)) return Decoded::kError;
        out.delta += uint32_t{hi} * 128 + lo;
        break;
      case 0xF7:
        return channel(0xF7);
      case 0xF9:
        if (!take(lo) || !take(hi)) return Decoded::kError;
        numerator_ = lo;
        beatExponent_ = hi;
        break;
      case 0xFB:
        if (!take7x2(lo, hi)) return Decoded::kError;
        out.kind = kEventMeta;
        out.status = 0x51;
        out.data = nullptr;
        out.length = 0;
        out.newBpm = (uint32_t{hi} * 128 + lo) * initialBpm_ / 1000;
        return Decoded::kEvent;
      case 0xFE:
        if (!take(lo)) return Decoded::kError;
        return channel(static_cast<uint8_t>(lo | 0x80));
      case 0xFF:
        if (!take(lo)) return Decoded::kError;
        storedByte_ = lo;
        break;
      default:  // 0xF5, 0xF6, 0xF8, 0xFA, 0xFC, 0xFD
        break;
    }
  }
}

ReadResult CESEQ2MID::ReadEvent(MusicEvent& ev) {
  // A gap found too long stays on record until the next Open: Rewind starts
  // the events over, but their end is then reported as damage.
  const ReadResult endResult = damaged_ ? ReadResult::kDamaged : ReadResult::kEnd;
  if (atEnd_) return endResult;
  for (;;) {
    RawEvent raw{};
    const Decoded r = DecodeEvent(raw);
    if (r == Decoded::kError) {
      problem_ = "An event is cut off by the end of the file, or holds a byte no event can.";
      return ReadResult::kDamaged;
    }
    if (r == Decoded::kEndOfData) {
      atEnd_ = true;
      return endResult;
    }
    if (raw.delta > maxGapTicks_) {
      damaged_ = true;
      problem_ = kGapProblem;
      atEnd_ = true;
      return ReadResult::kDamaged;
    }
    ev.tempo = TempoUsFromBpm(bpm_);
    // A change to 0 BPM (a scaled value below one beat per minute) would stop
    // the clock; it is delivered but the tempo stays as it was.
    if (raw.kind == kEventMeta && raw.status == 0x51 && raw.newBpm > 0) {
      bpm_ = raw.newBpm;
      RecomputeTiming();
    }
    ev.delta = static_cast<uint32_t>(raw.delta) + carriedTicks_;
    ev.kind = raw.kind;
    ev.status = raw.status;
    ev.data = raw.data;
    ev.length = raw.length;
    if (raw.kind == kEventChannel && muted_[raw.status & 0x0F]) {
      carriedTicks_ = ev.delta;
      continue;
    }
    carriedTicks_ = 0;
    return ReadResult::kEvent;
  }
}

uint32_t CESEQ2MID::GetPercentDone() const {
  if (eventsLength_ == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(100, uint64_t{pos_} * 100 / eventsLength_));
}

void CESEQ2MID::SetSpeed(int percent) {
  if (percent >= 1 && percent <= 1000) speed_ = static_cast<uint32_t>(percent);
  RecomputeTiming();
}

}  // namespace tonvelo
