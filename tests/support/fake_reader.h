#pragma once
// A music reader fed from a list of events built in the test, so encoder and
// scheduler tests need no file and no real reader. Events own their bytes;
// percent done is the share of events delivered.

#include <cstdint>
#include <utility>
#include <vector>

#include "readers/music_file.h"

namespace tonvelo::test {

class FakeReader : public CMusicFile2MID {
 public:
  explicit FakeReader(uint32_t division = 480) : division_(division) {}

  // The tempo is the one in force (default 120 BPM).
  FakeReader& Channel(uint32_t delta, uint8_t status, std::vector<uint8_t> data,
                      uint32_t tempo = 500000) {
    return Add(kEventChannel, delta, status, std::move(data), tempo);
  }
  FakeReader& NoteOn(uint32_t delta, uint8_t ch, uint8_t note, uint8_t vel) {
    return Channel(delta, static_cast<uint8_t>(0x90 | ch), {note, vel});
  }
  FakeReader& NoteOff(uint32_t delta, uint8_t ch, uint8_t note) {
    return Channel(delta, static_cast<uint8_t>(0x80 | ch), {note, 0x40});
  }
  FakeReader& Control(uint32_t delta, uint8_t ch, uint8_t controller, uint8_t value) {
    return Channel(delta, static_cast<uint8_t>(0xB0 | ch), {controller, value});
  }
  FakeReader& Program(uint32_t delta, uint8_t ch, uint8_t program) {
    return Channel(delta, static_cast<uint8_t>(0xC0 | ch), {program});
  }
  // Body as the SMF reader delivers it: the bytes after 0xF0, 0xF7 included.
  FakeReader& SysEx(uint32_t delta, std::vector<uint8_t> body, uint8_t status = 0xF0) {
    return Add(kEventSysEx, delta, status, std::move(body), 500000);
  }
  FakeReader& Meta(uint32_t delta, uint8_t type, std::vector<uint8_t> body = {}) {
    return Add(kEventMeta, delta, type, std::move(body), 500000);
  }
  FakeReader& EndOfTrack(uint32_t delta = 0) { return Meta(delta, 0x2F); }

  // ReadEvent reports damage (4) instead of delivering event `index`.
  void SetDamagedAt(size_t index) { damagedAt_ = index; }

  OpenResult Open(const std::filesystem::path&) override { return Rewind(); }
  void Close() override {}
  OpenResult Rewind() override {
    next_ = 0;
    return OpenResult::kOpened;
  }
  uint32_t GetDivision() const override { return division_; }
  void SkipTo(uint32_t) override {}
  void SetSpeed(int) override {}
  ReadResult ReadEvent(MusicEvent& ev) override {
    if (next_ >= events_.size()) return ReadResult::kEnd;
    if (next_ == damagedAt_) return ReadResult::kDamaged;
    ev = events_[next_].ev;
    ev.data = events_[next_++].data.data();
    return ReadResult::kEvent;
  }
  uint32_t GetPercentDone() const override {
    return events_.empty() ? 100 : static_cast<uint32_t>(next_ * 100 / events_.size());
  }
  const char* GetTitle() const override { return ""; }
  uint32_t GetLength() const override { return 0; }
  const char* GetDescription() const override { return "Fake events"; }

 private:
  struct Stored {
    MusicEvent ev;
    std::vector<uint8_t> data;
  };
  FakeReader& Add(uint32_t kind, uint32_t delta, uint8_t status, std::vector<uint8_t> data,
                  uint32_t tempo) {
    MusicEvent ev;
    ev.kind = kind;
    ev.delta = delta;
    ev.tempo = tempo;
    ev.status = status;
    ev.length = static_cast<uint32_t>(data.size());
    events_.push_back({ev, std::move(data)});
    return *this;
  }

  uint32_t division_;
  std::vector<Stored> events_;
  size_t next_ = 0;
  size_t damagedAt_ = SIZE_MAX;
};

}  // namespace tonvelo::test
