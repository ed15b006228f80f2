#include "readers/smf2mid.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "readers/file_image.h"

namespace tonvelo {

namespace {

constexpr uint32_t kHeaderBytes = 14;  // "MThd", length, format, tracks, division
constexpr uint32_t kChunkHeaderBytes = 8;
constexpr uint32_t kMinDivision = 24;
constexpr uint32_t kMaxDivision = 32768;
constexpr uint32_t kDefaultTempoUs = 500000;
constexpr uint64_t kPastEnd = UINT64_MAX;
constexpr int kTrackBits = 16;  // track numbers are 16-bit
constexpr uint64_t kTrackMask = (uint64_t{1} << kTrackBits) - 1;
// Keys hold 48 bits of time. Every pending event lies less than 2^32 ticks
// after the merged clock, so moving the keys' origin up to the clock once
// it is this far ahead keeps every key in range, for files of any length.
constexpr uint64_t kRebaseTicks = uint64_t{1} << 46;
constexpr uint32_t kMaxRecordedTracks = 256;  // the order log names tracks in a byte

// Data bytes of a channel status, indexed by (status >> 4) & 7.
constexpr uint8_t kDataBytes[8] = {2, 2, 2, 2, 1, 1, 2, 0};

uint32_t BE16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t BE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Reads a variable-length quantity at pos, never past end; false when it is
// cut off. Any number of bytes is accepted; the value keeps its low 32 bits.
bool ReadVarLen(const uint8_t* data, uint32_t& pos, uint32_t end, uint32_t& value) {
  uint32_t v = 0;
  while (pos < end) {
    const uint8_t b = data[pos++];
    v = (v << 7) | (b & 0x7F);
    if (b < 0x80) {
      value = v;
      return true;
    }
  }
  return false;
}

uint32_t SaturateToU32(double v) {
  return v >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(v);
}

OpenResult CheckHeader(const uint8_t* header, uint32_t /*fileSize*/) {
  return std::memcmp(header, "MThd", 4) == 0 ? OpenResult::kOpened : OpenResult::kNotThisFormat;
}

}  // namespace

CSMF2MID::~CSMF2MID() { Close(); }

OpenResult CSMF2MID::Open(const std::filesystem::path& path) {
  Close();
  damaged_ = false;
  problem_ = nullptr;
  // A file cut off anywhere is incomplete; what is inside is checked by Parse.
  constexpr FileImageResults kLoadResults{.shortHeader = OpenResult::kReadIncomplete,
                                          .shortRest = OpenResult::kReadIncomplete};
  const OpenResult r = file_image_load(path, kHeaderBytes, CheckHeader, kLoadResults, file_);
  if (r != OpenResult::kOpened) return r;
  return Parse();
}

OpenResult CSMF2MID::OpenBuffer(std::vector<uint8_t> bytes) {
  Close();
  damaged_ = false;
  problem_ = nullptr;
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
      problem_ = "Its header announces more tracks than it holds (an \"MTrk\" chunk is missing).";
      return OpenResult::kDamaged;
    }
    total += uint64_t{BE32(d + at + 4)} + kChunkHeaderBytes;
    if (total > dataSize) {
      Close();
      problem_ = "A track runs past the end of the file: the file was cut off.";
      return OpenResult::kDamaged;
    }
  }
  if (format_ > 1) {
    Close();
    problem_ =
        "It is a MIDI file of format 2 (a set of independent patterns), which does not play as "
        "one piece; only formats 0 and 1 can be converted.";
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

  // The opening scan: length and the title (a Track Name at time 0). It
  // also records the merge order for the passes that follow.
  replaying_ = false;
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
    if (trackCount_ <= kMaxRecordedTracks) {
      // Each event takes at least two bytes (delta and status or data), and
      // each track may end once more on an event cut off by its chunk end.
      orderCapacity_ = totalTrackBytes_ / 2 + trackCount_;
      order_ = std::make_unique_for_overwrite<uint8_t[]>(orderCapacity_);
      recording_ = true;
    }
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
  replaying_ = recording_ && !damaged_;
  recording_ = false;
  if (replaying_) std::vector<uint64_t>().swap(keyTree_);
  lengthMs_ = SaturateToU32(std::trunc(sumMs + 0.5));
  r = Rewind();
  if (r != OpenResult::kOpened) Close();
  return r;
}

void CSMF2MID::Close() {
  std::vector<uint8_t>().swap(file_);
  std::vector<TrackState>().swap(tracks_);
  std::vector<uint64_t>().swap(keyTree_);
  order_.reset();
  orderLength_ = 0;
  recording_ = false;
  replaying_ = false;
  std::string().swap(title_);
  loaded_ = false;
  atEnd_ = true;
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
  step_ = 0;
  keyBase_ = 0;
  try {
    tracks_.assign(trackCount_, TrackState{});
    if (!replaying_) {
      leafBase_ = std::bit_ceil(std::max<size_t>(trackCount_, 1));
      keyTree_.assign(2 * leafBase_, kPastEnd);
    }
  } catch (const std::bad_alloc&) {
    Close();
    return OpenResult::kOutOfMemory;
  }
  // Chunk bounds were checked when the file was loaded.
  uint32_t at = kHeaderBytes;
  for (size_t i = 0; i < tracks_.size(); ++i) {
    TrackState& t = tracks_[i];
    const uint32_t length = BE32(file_.data() + at + 4);
    t.pos = at + kChunkHeaderBytes;
    t.end = t.pos + length;
    totalTrackBytes_ += length;
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

void CSMF2MID::Rebase() {
  keyBase_ = now_;
  uint64_t* tree = keyTree_.data();
  for (size_t i = 0; i < tracks_.size(); ++i) {
    const TrackState& t = tracks_[i];
    tree[leafBase_ + i] = t.finished ? kPastEnd : ((t.nextTime - keyBase_) << kTrackBits) | i;
  }
  for (size_t node = leafBase_ - 1; node >= 1; --node) {
    tree[node] = std::min(tree[2 * node], tree[2 * node + 1]);
  }
}

// Each track's next delta is peeked as soon as its previous event has been
// read. A track whose chunk ends before its End of Track simply ends there:
// many files in circulation lack it, and the chunk length is the only bound.
inline void CSMF2MID::PeekDelta(size_t track) {
  TrackState& t = tracks_[track];
  const uint8_t* d = file_.data();
  uint32_t pos = t.pos;
  uint32_t delta = 0;
  if (!t.finished) {
    if (t.end - pos >= 2 && (d[pos] & d[pos + 1]) < 0x80) {
      // One or two bytes, as nearly every delta is, without a branch on which.
      const uint32_t more = d[pos] >> 7;
      delta = ((d[pos] & 0x7Fu) << (7 * more)) | (d[pos + 1] & (0u - more));
      pos += 1 + more;
    } else if (!ReadVarLen(d, pos, t.end, delta)) {
      t.finished = true;
    }
  }
  t.body = pos;
  t.nextTime += delta;
  if (replaying_) return;
  SetKey(track, t.finished ? kPastEnd : ((t.nextTime - keyBase_) << kTrackBits) | track);
}

// Decodes the event after the peeked delta into ev's kind, status, data and
// length. An event whose bytes run past the chunk is dropped and ends the
// track, like a missing End of Track: the events before it still play.
inline bool CSMF2MID::DecodeEvent(TrackState& t, MusicEvent& ev) {
  const uint8_t* d = file_.data();
  uint32_t pos = t.body;
  const uint32_t end = t.end;
  if (pos >= end) return false;
  const uint8_t b = d[pos++];
  if (b >= 0xF0 && (b == 0xF0 || b == 0xF7 || b == 0xFF)) {
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
    // masks rather than branches: which one comes next is unpredictable.
    const uint32_t own = b >> 7;
    const uint32_t ownMask = 0u - own;
    const auto status = static_cast<uint8_t>((b & ownMask) | (t.runningStatus & ~ownMask));
    const uint32_t n = (kDataBytes[(b >> 4) & 7] & ownMask) | (t.runningLength & ~ownMask);
    const uint32_t first = pos - 1 + own;
    if (end - first < 2) {
      if (n > end - first) return false;
      if (n > 0) t.buffer[0] = d[first];
    } else {
      // Both bytes are inside the chunk; the length tells which count.
      t.buffer[0] = d[first];
      t.buffer[1] = d[first + 1];
    }
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
  if (damaged_) return ReadResult::kDamaged;
  if (atEnd_) return ReadResult::kEnd;
  for (;;) {
    // Each track's pending time is implicit: now_ minus its last event's
    // tick, so the track with the smallest remaining time is the one with
    // the earliest next tick, the tree's root. Times never go back, so no
    // track can fall behind the merged clock.
    size_t best;
    if (replaying_) {
      if (step_ == orderLength_) {
        atEnd_ = true;
        return ReadResult::kEnd;
      }
      best = order_[step_++];
    } else {
      const uint64_t key = keyTree_[1];
      if (key == kPastEnd) {
        atEnd_ = true;
        return ReadResult::kEnd;
      }
      best = key & kTrackMask;
      if (recording_) {
        if (orderLength_ < orderCapacity_) {
          order_[orderLength_++] = static_cast<uint8_t>(best);
        } else {
          recording_ = false;  // cannot happen by the capacity's count; the tree still works
        }
      }
    }
    TrackState& t = tracks_[best];
    if (!DecodeEvent(t, ev)) {
      t.finished = true;
      if (!replaying_) SetKey(best, kPastEnd);
      continue;
    }
    const uint64_t time = t.nextTime;
    const uint64_t d = time - now_;
    const bool meta = ev.kind == kEventMeta;
    if (d > maxGapTicks_ && !(meta && ev.status == 0x2F)) {
      damaged_ = true;
      problem_ = kGapProblem;
      return ReadResult::kDamaged;
    }
    now_ = time;
    if (!replaying_ && now_ - keyBase_ > kRebaseTicks) Rebase();
    PeekDelta(best);

    ev.tempo = tempoUs_;
    ev.delta = static_cast<uint32_t>(d) + carriedTicks_;
    if (meta) {
      // A Set Tempo too short to hold three bytes is passed on but changes
      // nothing: guessing the missing bytes could only make the timing worse.
      if (ev.status == 0x51 && ev.length >= 3) SetTempo(ev.data);
    } else if (ev.kind == kEventChannel && muted_[ev.status & 0x0F]) {
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

}  // namespace tonvelo
