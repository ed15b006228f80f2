#pragma once
// Builds Standard MIDI Files in memory for tests: tracks of raw events with
// delta times, written with correct chunk lengths (or deliberately wrong ones).

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace tonvelo::test {

using Bytes = std::vector<uint8_t>;

inline void PutVarLen(Bytes& out, uint32_t v) {
  uint8_t tmp[5];
  int n = 0;
  tmp[n++] = v & 0x7F;
  while ((v >>= 7) != 0) tmp[n++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
  while (n > 0) out.push_back(tmp[--n]);
}

inline void PutBE(Bytes& out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class TrackBuilder {
 public:
  // Raw event: delta then the bytes exactly as given (status optional, for running status).
  TrackBuilder& Raw(uint32_t delta, std::initializer_list<uint8_t> bytes) {
    PutVarLen(data_, delta);
    data_.insert(data_.end(), bytes);
    return *this;
  }
  TrackBuilder& NoteOn(uint32_t delta, uint8_t ch, uint8_t note, uint8_t vel) {
    return Raw(delta, {static_cast<uint8_t>(0x90 | ch), note, vel});
  }
  TrackBuilder& NoteOff(uint32_t delta, uint8_t ch, uint8_t note, uint8_t vel = 0x40) {
    return Raw(delta, {static_cast<uint8_t>(0x80 | ch), note, vel});
  }
  TrackBuilder& Control(uint32_t delta, uint8_t ch, uint8_t controller, uint8_t value) {
    return Raw(delta, {static_cast<uint8_t>(0xB0 | ch), controller, value});
  }
  TrackBuilder& Program(uint32_t delta, uint8_t ch, uint8_t program) {
    return Raw(delta, {static_cast<uint8_t>(0xC0 | ch), program});
  }
  TrackBuilder& Meta(uint32_t delta, uint8_t type, const Bytes& body) {
    PutVarLen(data_, delta);
    data_.push_back(0xFF);
    data_.push_back(type);
    PutVarLen(data_, static_cast<uint32_t>(body.size()));
    data_.insert(data_.end(), body.begin(), body.end());
    return *this;
  }
  TrackBuilder& Tempo(uint32_t delta, uint32_t usPerQuarter) {
    return Meta(delta, 0x51, {static_cast<uint8_t>(usPerQuarter >> 16),
                              static_cast<uint8_t>(usPerQuarter >> 8),
                              static_cast<uint8_t>(usPerQuarter)});
  }
  TrackBuilder& TrackName(uint32_t delta, const std::string& name) {
    return Meta(delta, 0x03, Bytes(name.begin(), name.end()));
  }
  // status 0xF0 or 0xF7; body as stored after the length.
  TrackBuilder& SysEx(uint32_t delta, uint8_t status, const Bytes& body) {
    PutVarLen(data_, delta);
    data_.push_back(status);
    PutVarLen(data_, static_cast<uint32_t>(body.size()));
    data_.insert(data_.end(), body.begin(), body.end());
    return *this;
  }
  TrackBuilder& End(uint32_t delta = 0) { return Meta(delta, 0x2F, {}); }
  const Bytes& data() const { return data_; }

 private:
  Bytes data_;
};

class MidiBuilder {
 public:
  explicit MidiBuilder(uint16_t format = 1, uint16_t division = 480)
      : format_(format), division_(division) {}
  TrackBuilder& AddTrack() {
    tracks_.emplace_back();
    return tracks_.back();
  }
  Bytes Build() const {
    Bytes out = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
    PutBE(out, format_, 2);
    PutBE(out, static_cast<uint32_t>(tracks_.size()), 2);
    PutBE(out, division_, 2);
    for (const auto& t : tracks_) {
      out.insert(out.end(), {'M', 'T', 'r', 'k'});
      PutBE(out, static_cast<uint32_t>(t.data().size()), 4);
      out.insert(out.end(), t.data().begin(), t.data().end());
    }
    return out;
  }
  void Write(const std::filesystem::path& path) const {
    const Bytes b = Build();
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }

 private:
  uint16_t format_;
  uint16_t division_;
  std::vector<TrackBuilder> tracks_;
};

inline void WriteBytes(const std::filesystem::path& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

}  // namespace tonvelo::test
