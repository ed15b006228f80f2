#include "readers/smf2mid.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "audio/byte_file.h"

namespace tonvelo {

namespace {

constexpr uint32_t kHeaderBytes = 14;  // "MThd", length, format, tracks, division
constexpr uint32_t kChunkHeaderBytes = 8;
constexpr uint32_t kMinDivision = 24;
constexpr uint32_t kMaxDivision = 32768;
constexpr uint32_t kDefaultTempoUs = 500000;
constexpr uint32_t kMaxVarLenBytes = 4;
constexpr uint64_t kPastEnd = UINT64_MAX;
constexpr int kTrackBits = 16;  // track numbers are 16-bit
// Beyond this the merged clock would not fit its key: centuries at any
// tempo, reachable only by a file made of day-long gaps.
constexpr uint64_t kMaxTicks = (uint64_t{1} << (64 - kTrackBits)) - 2;

// Data bytes of a channel status, indexed by (status >> 4) & 7.
constexpr uint8_t kDataBytes[8] = {2, 2, 2, 2, 1, 1, 2, 0};

uint32_t BE16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t BE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Reads a variable-length quantity at pos, never past end. False when it is
// cut off or longer than the four bytes a file may use.
bool ReadVarLen(const uint8_t* data, uint32_t& pos, uint32_t end, uint32_t& value) {
  value = 0;
  for (uint32_t n = 0; n < kMaxVarLenBytes; ++n) {
    if (pos >= end) return false;
    const uint8_t b = data[pos++];
    value = (value << 7) | (b & 0x7F);
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

uint32_t SaturateToU32(double v) {
  return v >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(v);
}

}  // namespace

CSMF2MID::~CSMF2MID() { Close(); }

OpenResult CSMF2MID::Open(const std::filesystem::path& path) {
  Close();
  damaged_ = false;
  FileHandle h = kInvalidFile;
  if (!file_open_read(path, h)) return OpenResult::kCannotOpen;
  // Two reads: the header, and only when it is a MIDI file, the rest.
  OpenResult r = OpenResult::kOpened;
  try {
    std::vector<uint8_t> bytes(kHeaderBytes);
    const uint32_t size = file_size(h);
    if (!file_read(h, bytes.data(), kHeaderBytes) || size < kHeaderBytes) {
      r = OpenResult::kReadIncomplete;
    } else if (std::memcmp(bytes.data(), "MThd", 4) != 0) {
      r = OpenResult::kNotThisFormat;
    } else {
      bytes.resize(size);
      if (!file_read(h, bytes.data() + kHeaderBytes, size - kHeaderBytes)) {
        r = OpenResult::kReadIncomplete;
      } else {
        file_ = std::move(bytes);
      }
    }
  } catch (const std::bad_alloc&) {
    r = OpenResult::kOutOfMemory;
  }
  file_close(h);
  if (r != OpenResult::kOpened) return r;
  return Parse();
}

OpenResult CSMF2MID::OpenBuffer(std::vector<uint8_t> bytes) {
  Close();
  damaged_ = false;
  if (bytes.size() < kHeaderBytes) return OpenResult::kReadIncomplete;
  if (std::memcmp(bytes.data(), "MThd", 4) != 0) return OpenResult::kNotThisFormat;
  // Offsets into the file are 32-bit, as the file functions' sizes are.
  if (bytes.size() > UINT32_MAX) return OpenResult::kReadIncomplete;
  file_ = std::move(bytes);
  return Parse();
}

OpenResult CSMF2MID::Parse() {
  const uint8_t* d = file_.data();
  const auto size = static_cast<uint32_t>(file_.size());
  format_ = static_cast<uint16_t>(BE16(d + 8));
  trackCount_ = static_cast<uint16_t>(BE16(d + 10));
  const uint32_t division = BE16(d + 12);

  // The header length field is not trusted: the first chunk starts at byte
  // 14. Every counted chunk must be an "MTrk" that fits in the file; what
  // follows the last one is ignored.
  const uint64_t dataSize = size - kHeaderBytes;
  uint64_t total = 0;
  for (uint32_t i = 0; i < trackCount_; ++i) {
    const uint64_t at = kHeaderBytes + total;
    if (total + kChunkHeaderBytes > dataSize || std::memcmp(d + at, "MTrk", 4) != 0) {
      Close();
      return OpenResult::kDamaged;
    }
    total += uint64_t{BE32(d + at + 4)} + kChunkHeaderBytes;
    if (total > dataSize) {
      Close();
      return OpenResult::kDamaged;
    }
  }
  if (format_ > 1) {
    Close();
    return OpenResult::kUnsupported;
  }
  // SMPTE time codes (and nonsense) are refused as "not MIDI", so the ESEQ
  // reader gets its turn.
  if (division < kMinDivision || division > kMaxDivision) {
    Close();
    return OpenResult::kNotThisFormat;
  }
  division_ = division;
  loaded_ = true;
  damaged_ = false;
  atEnd_ = false;

  // The opening scan: length and the title (a Track Name at time 0).
  OpenResult r = Rewind();
  if (r != OpenResult::kOpened) {
    Close();
    return r;
  }
  double sumMs = 0.0;
  uint64_t sumTicks = 0;
  bool titleFound = false;
  MusicEvent ev;
  try {
    while (ReadEvent(ev) == ReadResult::kEvent) {
      sumMs += ev.delta * 1000.0 / ticksPerSecond_;
      sumTicks += ev.delta;
      if (!titleFound && sumTicks == 0 && ev.kind == kEventMeta && ev.status == 0x03) {
        title_.assign(reinterpret_cast<const char*>(ev.data), ev.length);
        titleFound = true;
      }
    }
  } catch (const std::bad_alloc&) {
    Close();
    return OpenResult::kOutOfMemory;
  }
  lengthMs_ = SaturateToU32(std::trunc(sumMs + 0.5));
  r = Rewind();
  if (r != OpenResult::kOpened) Close();
  return r;
}

void CSMF2MID::Close() {
  std::vector<uint8_t>().swap(file_);
  std::vector<TrackState>().swap(tracks_);
  std::vector<uint64_t>().swap(keyTree_);
  std::string().swap(title_);
  loaded_ = false;
}

void CSMF2MID::RecomputeTiming() {
  // Whole BPM keep the exact product; the microsecond formula is for the
  // rest. Both products fit a double exactly (at most 32768 × 1000 × 6e7).
  if (bpm_ != 0) {
    ticksPerSecond_ = static_cast<double>(division_) * speed_ * bpm_ / 6000.0;
  } else {
    ticksPerSecond_ = static_cast<double>(division_) * speed_ * 10000.0 / tempoUs_;
  }
  maxGapTicks_ = SaturateToU32(std::trunc(ticksPerSecond_ + 0.5) * maxGapSeconds_);
}

OpenResult CSMF2MID::Rewind() {
  if (damaged_) {
    Close();
    return OpenResult::kDamaged;
  }
  if (!loaded_) return OpenResult::kCannotOpen;
  tempoUs_ = kDefaultTempoUs;
  bpm_ = 120;
  bytesConsumed_ = 0;
  totalTrackBytes_ = 0;
  now_ = 0;
  carriedTicks_ = 0;
  atEnd_ = false;
  RecomputeTiming();
  try {
    tracks_.assign(trackCount_, TrackState{});
    leafBase_ = std::bit_ceil(std::max<size_t>(trackCount_, 1));
    keyTree_.assign(2 * leafBase_, kPastEnd);
  } catch (const std::bad_alloc&) {
    Close();
    return OpenResult::kOutOfMemory;
  }
  // Chunk bounds were checked when the file was loaded.
  uint32_t at = kHeaderBytes;
  for (size_t i = 0; i < tracks_.size(); ++i) {
    TrackState& t = tracks_[i];
    t.chunkStart = at;
    t.chunkLength = BE32(file_.data() + at + 4);
    t.pos = at + kChunkHeaderBytes;
    t.end = t.pos + t.chunkLength;
    totalTrackBytes_ += t.chunkLength;
    at = t.end;
    PeekDelta(i);
  }
  return OpenResult::kOpened;
}

inline void CSMF2MID::SetKey(size_t track, uint64_t key) {
  // The new value travels up in a register; only siblings are loaded, so no
  // level waits for the store of the level below.
  uint64_t* tree = keyTree_.data();
  size_t node = leafBase_ + track;
  tree[node] = key;
  while (node > 1) {
    key = std::min(key, tree[node ^ 1]);
    node >>= 1;
    tree[node] = key;
  }
}

// Each track's next delta is peeked as soon as its previous event has been
// read. A track whose chunk ends before its End of Track simply ends there:
// many files in circulation lack it, and the chunk length is the only bound.
inline void CSMF2MID::PeekDelta(size_t track) {
  TrackState& t = tracks_[track];
  uint32_t pos = t.pos;
  uint32_t delta = 0;
  if (t.finished) {
    SetKey(track, kPastEnd);
    return;
  }
  if (pos < t.end && file_[pos] < 0x80) {
    delta = file_[pos++];  // most deltas are one byte
  } else if (!ReadVarLen(file_.data(), pos, t.end, delta)) {
    t.finished = true;
    SetKey(track, kPastEnd);
    return;
  }
  t.deltaBytes = pos - t.pos;
  uint64_t time = t.lastTime + delta;
  if (time > kMaxTicks) {
    damaged_ = true;
    time = kMaxTicks;
  }
  SetKey(track, (time << kTrackBits) | track);
}

// Decodes the event after the peeked delta into ev's kind, status, data and
// length. An event whose bytes run past the chunk is dropped and ends the
// track, like a missing End of Track: the events before it still play.
inline bool CSMF2MID::DecodeEvent(TrackState& t, MusicEvent& ev) {
  const uint8_t* d = file_.data();
  uint32_t pos = t.pos + t.deltaBytes;
  const uint32_t end = t.end;
  if (pos >= end) return false;
  const uint8_t b = d[pos++];
  if (b == 0xF0 || b == 0xF7 || b == 0xFF) {
    uint8_t status = b;
    if (b == 0xFF) {
      if (pos >= end) return false;
      status = d[pos++];
    }
    uint32_t length = 0;
    if (!ReadVarLen(d, pos, end, length) || length > end - pos) return false;
    ev.kind = b == 0xFF ? kEventMeta : kEventSysEx;
    ev.status = status;
    ev.data = d + pos;
    ev.length = length;
    pos += length;
    if (b == 0xFF && status == 0x2F) t.finished = true;
  } else {
    // A channel message, with its own status or under the running status
    // (then b is the first data byte). Both cases share one path, chosen by
    // selects rather than branches: which one comes next is unpredictable.
    const bool own = (b & 0x80) != 0;
    const uint8_t status = own ? b : t.runningStatus;
    const uint8_t n = own ? kDataBytes[(b >> 4) & 7] : t.runningLength;
    const uint32_t first = own ? pos : pos - 1;
    if (n > end - first) return false;
    if (n > 0) t.buffer[0] = d[first];
    if (n > 1) t.buffer[1] = d[first + 1];
    // Under a status without data bytes (0xF1..0xFE) a stray data byte is
    // consumed with the status alone.
    pos = std::max(pos, first + n);
    t.runningStatus = status;
    t.runningLength = n;
    ev.kind = kEventChannel;
    ev.status = status;
    ev.data = t.buffer;
    ev.length = n;
  }
  bytesConsumed_ += pos - t.pos;
  t.pos = pos;
  return true;
}

void CSMF2MID::SetTempo(const uint8_t* data) {
  const uint32_t tempo = (uint32_t{data[0]} << 16) | (uint32_t{data[1]} << 8) | data[2];
  tempoUs_ = tempo == 0 ? 1 : tempo;
  const double exact = 60000000.0 / tempoUs_;
  bpm_ = static_cast<uint32_t>(std::trunc(exact + 0.5));
  if (std::fabs(exact - bpm_) > 0.001) bpm_ = 0;
  RecomputeTiming();
}

ReadResult CSMF2MID::ReadEvent(MusicEvent& ev) {
  if (atEnd_ && !damaged_) return ReadResult::kEnd;
  for (;;) {
    if (damaged_) return ReadResult::kDamaged;
    // Each track's pending time is implicit: now_ minus its last event's
    // tick, so the track with the smallest remaining time is the one with
    // the earliest next tick, the tree's root.
    const uint64_t key = keyTree_.empty() ? kPastEnd : keyTree_[1];
    if (key == kPastEnd) {
      atEnd_ = true;
      return ReadResult::kEnd;
    }
    const size_t best = key & ((1u << kTrackBits) - 1);
    const uint64_t bestTime = key >> kTrackBits;
    TrackState& t = tracks_[best];
    // A track behind the merged clock cannot be placed in time.
    if (bestTime < now_) {
      damaged_ = true;
      return ReadResult::kDamaged;
    }
    if (!DecodeEvent(t, ev)) {
      t.finished = true;
      SetKey(best, kPastEnd);
      continue;
    }
    const uint64_t d = bestTime - now_;
    const bool meta = ev.kind == kEventMeta;
    if (d > maxGapTicks_ && !(meta && ev.status == 0x2F)) {
      damaged_ = true;
      return ReadResult::kDamaged;
    }
    now_ = bestTime;
    t.lastTime = bestTime;
    PeekDelta(best);

    ev.tempo = tempoUs_;
    ev.delta = static_cast<uint32_t>(d) + carriedTicks_;
    if (meta) {
      // A Set Tempo too short to hold three bytes is passed on but changes
      // nothing: guessing the missing bytes could only make the timing worse.
      if (ev.status == 0x51 && ev.length >= 3) SetTempo(ev.data);
    } else if (ev.kind == kEventChannel && ev.status < 0xF0 && muted_[ev.status & 0x0F]) {
      // Only real channel messages have a channel to mute.
      carriedTicks_ = ev.delta;
      continue;
    }
    carriedTicks_ = 0;
    return ReadResult::kEvent;
  }
}

uint32_t CSMF2MID::GetPercentDone() const {
  if (totalTrackBytes_ == 0) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(100, bytesConsumed_ * 100 / totalTrackBytes_));
}

void CSMF2MID::SetSpeed(int percent) {
  if (percent >= 1 && percent <= 1000) speed_ = static_cast<uint32_t>(percent);
  RecomputeTiming();
}

void CSMF2MID::SkipTo(uint32_t ms) {
  if (Rewind() != OpenResult::kOpened) return;
  double sumMs = 0.0;
  MusicEvent ev;
  while (sumMs < ms && ReadEvent(ev) == ReadResult::kEvent) {
    sumMs += ev.delta * 1000.0 / ticksPerSecond_;
  }
}

}  // namespace tonvelo
