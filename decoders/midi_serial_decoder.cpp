#include "decoders/midi_serial_decoder.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "decoders/half_cycles.h"

namespace tonvelo {

namespace {

constexpr uint8_t kUnreadable = 9;

struct Symbol {
  uint8_t value = 0;  // 0, 1, 2, or kUnreadable
  uint32_t start = 0;
  uint32_t end = 0;
  bool gapAfter = false;
};

// Lobes to symbols: a pulse of one unit (0) or two (2), or two half-unit
// lobes of opposite sign (1).
std::vector<Symbol> ReadSymbols(const std::vector<HalfCycle>& lobes, double unit,
                                uint32_t& doubtful) {
  std::vector<Symbol> out;
  for (size_t i = 0; i < lobes.size(); ++i) {
    const HalfCycle& h = lobes[i];
    const double units = h.length / unit + (h.gap ? 0.15 : 0.0);
    if (i == 0 && h.gap && h.start < 1.0) continue;  // the channel starts inside it
    if (h.gap && units >= 2.5) {
      ++doubtful;  // no symbol, and nothing a signal of this kind is made of
      continue;
    }
    Symbol s;
    s.start = SampleAt(h.start);
    s.end = SampleAt(h.start + h.length);
    double nominal;
    if (units < 0.75) {
      nominal = 0.5;
      if (!h.gap && i + 1 < lobes.size() && lobes[i + 1].length / unit < 0.75) {
        const HalfCycle& second = lobes[++i];
        doubtful += std::fabs(second.length / unit - 0.5) > 0.2;
        s.value = 1;
        s.end = SampleAt(second.start + second.length);
        s.gapAfter = second.gap;
      } else {
        s.value = kUnreadable;
        s.gapAfter = h.gap;
      }
    } else if (units < 1.5) {
      nominal = 1.0, s.value = 0, s.gapAfter = h.gap;
    } else if (units < 2.5 || h.gap) {
      nominal = 2.0, s.value = units < 2.5 ? 2 : kUnreadable, s.gapAfter = h.gap;
    } else {
      nominal = 2.0, s.value = kUnreadable;
    }
    doubtful += std::fabs(units - nominal) > 0.2 && !h.gap;
    out.push_back(s);
  }
  return out;
}

class Parser {
 public:
  Parser(const std::vector<Symbol>& s, uint32_t rate, MidiSerialDetail& d, DecodedTrack& t)
      : s_(s), rate_(rate), d_(d), t_(t) {}

  void Run() {
    while (i_ < s_.size()) {
      const size_t first = i_;
      if (s_[i_].value == 2) {
        int syncs = 0;
        while (i_ < s_.size() && s_[i_].value == 2) ++syncs, ++i_;
        chain_ = false;
        if (syncs == 1) {
          ShortNote(first);
        } else if (syncs == 3) {
          FullMessage(first);
        } else {
          Error(first, std::to_string(syncs) + " sync symbols in a row");
        }
      } else if (chain_ && s_[i_].value == 0 && IdleFollows()) {
        chain_ = false;
      } else if (chain_) {
        ChainedNote(first);
      } else if (s_[i_].value == 0) {
        ++i_;
      } else {
        Error(first, s_[i_].value == 1 ? "unexpected 1 symbol" : "unreadable symbol");
        ++i_;
      }
    }
  }

  uint32_t badSymbols = 0;

 private:
  // Four idle symbols where a chained note's step would be: the step is never
  // zero, so the chain has ended.
  bool IdleFollows() const {
    for (size_t k = i_; k < i_ + 4; ++k) {
      if (k >= s_.size() || s_[k].value == 2) return true;
      if (s_[k].value != 0) return false;
    }
    return true;
  }

  // Eight symbols into a byte; a sync or unreadable symbol interrupts it.
  bool ReadByte(uint8_t& b) {
    b = 0;
    for (int k = 0; k < 8; ++k, ++i_) {
      if (i_ >= s_.size() || s_[i_].value > 1) return false;
      b = static_cast<uint8_t>(b << 1 | s_[i_].value);
    }
    return true;
  }

  void ShortNote(size_t first) {
    uint8_t head, note;
    if (!ReadByte(head) || !ReadByte(note) || note >= 0x80) {
      return Error(first, "short note cut short");
    }
    channel_ = head >> 4;
    lastNote_ = note;
    chain_ = true;
    Emit(first, 1, {head, note}, note, head & 0x0F);
  }

  void ChainedNote(size_t first) {
    uint8_t b;
    if (!ReadByte(b)) {
      chain_ = false;
      return Error(first, "chained note cut short");
    }
    const int h = b >> 4;
    lastNote_ = static_cast<uint8_t>((lastNote_ + (h < 8 ? -h : h - 8)) & 0x7F);
    Emit(first, 0, {b}, lastNote_, b & 0x0F);
  }

  void FullMessage(size_t first) {
    uint8_t b;
    if (i_ + 8 > s_.size() || s_[i_].value == 0) {
      // Three syncs and nothing after them close the stream.
      StreamMessage m = Message(first, 3, {});
      d_.messages.push_back(m);
      return;
    }
    std::vector<uint8_t> bytes;
    if (!ReadByte(b) || b < 0x80) return Error(first, "message without a status byte");
    bytes.push_back(b);
    const int need = b == 0xF0 ? -1 : (b & 0xE0) == 0xC0 ? 1 : 2;
    for (int k = 0; need < 0 ? bytes.back() != 0xF7 : k < need; ++k) {
      if (!ReadByte(b)) return Error(first, "message " + HexBytes(bytes) + " cut short");
      bytes.push_back(b);
    }
    StreamMessage m = Message(first, 3, bytes);
    AddChannelEvent(m, rate_, t_);
    d_.messages.push_back(m);
  }

  StreamMessage Message(size_t first, int syncs, std::vector<uint8_t> bytes) const {
    StreamMessage m;
    m.firstUnit = static_cast<uint32_t>(first);
    m.endUnit = static_cast<uint32_t>(i_);
    m.startSample = s_[first].start;
    m.endSample = s_[i_ - 1].end;
    m.syncs = syncs;
    m.bytes = std::move(bytes);
    return m;
  }

  void Emit(size_t first, int syncs, std::vector<uint8_t> raw, uint8_t note, uint8_t code) {
    StreamMessage m = Message(first, syncs, std::move(raw));
    t_.events.push_back({static_cast<double>(m.startSample) / rate_,
                         static_cast<uint8_t>(0x90 | channel_), note, MidiSerialVelocity(code)});
    d_.messages.push_back(std::move(m));
  }

  void Error(size_t first, const std::string& text) {
    if (i_ == first) ++i_;
    badSymbols += static_cast<uint32_t>(i_ - first);
    AddIssue(static_cast<double>(s_[first].start) / rate_, text, t_);
  }

  const std::vector<Symbol>& s_;
  uint32_t rate_;
  MidiSerialDetail& d_;
  DecodedTrack& t_;
  size_t i_ = 0;
  bool chain_ = false;
  uint8_t channel_ = 0;
  uint8_t lastNote_ = 0;
};

}  // namespace

uint8_t MidiSerialVelocity(uint8_t code) {
  code &= 0x0F;
  if (code == 0) return 0;
  return code == 1 ? 8 : static_cast<uint8_t>(code * 8 + 4);
}

DecodedTrack DecodeMidiSerial(const int16_t* samples, size_t count, uint32_t sampleRateHz) {
  return DecodeMidiSerial(samples, count, sampleRateHz, nullptr);
}

DecodedTrack DecodeMidiSerial(const int16_t* samples, size_t count, uint32_t rate,
                              MidiSerialDetail* detail) {
  DecodedTrack track;
  MidiSerialDetail local;
  MidiSerialDetail& d = detail ? *detail : local;
  d = MidiSerialDetail{};
  if (rate == 0) return track;
  const double unit = static_cast<double>(rate) / kMidiSerialSymbolRate;
  const std::vector<Symbol> symbols =
      ReadSymbols(FindHalfCycles(samples, count, unit), unit, d.doubtfulSymbols);
  d.symbols = static_cast<uint32_t>(symbols.size());
  if (symbols.empty()) return track;
  Parser parser(symbols, rate, d, track);
  parser.Run();
  const double total = static_cast<double>(symbols.size() + d.doubtfulSymbols);
  const double bad = std::min(total, static_cast<double>(parser.badSymbols + d.doubtfulSymbols));
  track.family = SignalFamily::kMidiSerial;
  track.formatId = 7;
  track.confidence = (total - bad) / total * std::min(1.0, total / 200.0) *
                     StreamValidity(d.messages.size(), track.errors.size());
  track.dataStartSeconds = static_cast<double>(symbols.front().start) / rate;
  track.dataEndSeconds = static_cast<double>(symbols.back().end) / rate;
  track.unitsDecoded = static_cast<uint32_t>(d.messages.size());
  return track;
}

}  // namespace tonvelo
