#pragma once
// Runs a stream encoder (PianoDisc 4/5, MIDI-serial 7, Disklavier 8) over
// in-memory events and reads its data channel back with the product decoder.
// Events and streams are written as hex text so that cases read as tables.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "decoders/disklavier_decoder.h"
#include "decoders/midi_serial_decoder.h"
#include "decoders/pianodisc_decoder.h"
#include "encoders/encoder_factory.h"
#include "tests/support/fake_reader.h"
#include "tests/support/memory_output.h"
#include "tests/support/recording_events.h"

namespace tonvelo::test {

// "90 3C 40, @480 B0 40 7F": hex messages, "@n" a delta in ticks; F0 or F7
// with a body is system exclusive, FF a meta event, the rest channel events.
inline FakeReader& Feed(FakeReader& r, const std::string& text) {
  std::istringstream in(text);
  for (std::string msg; std::getline(in, msg, ',');) {
    std::istringstream words(msg);
    uint32_t delta = 0;
    std::vector<uint8_t> b;
    for (std::string w; words >> w;) {
      if (w[0] == '@') delta = static_cast<uint32_t>(std::stoul(w.substr(1)));
      if (w[0] != '@') b.push_back(static_cast<uint8_t>(std::stoul(w, nullptr, 16)));
    }
    if (b.empty()) continue;
    const bool sysex = (b[0] == 0xF0 || b[0] == 0xF7) && b.size() > 1;
    if (b[0] == 0xFF) r.Meta(delta, b[1], {b.begin() + 2, b.end()});
    if (sysex) r.SysEx(delta, {b.begin() + 1, b.end()}, b[0]);
    if (!sysex && b[0] != 0xFF) r.Channel(delta, b[0], {b.begin() + 1, b.end()});
  }
  return r;
}

struct RunOptions {
  int profile = 0;
  std::string title = "Song";
  CPCMIn* accompaniment = nullptr;
  bool cancelled = false;
  size_t failAfter = SIZE_MAX;
  CMusicFile2MID* source = nullptr;  // in place of the events
};

struct StreamRun {
  FakeReader src;
  MemoryOutput out;
  RecordingEvents events;
  CancelFlag cancel{0};
  std::unique_ptr<CTonveloFormat> encoder;
  Result result = Result::kSuccess;
  std::vector<StreamMessage> msgs;  // as the decoder reports them
  DisklavierDetail dk;
  PianoDiscDetail pd;
  std::string error;  // empty: the decoder found the format and no fault
};

// Decodes `data`. A Disklavier stream may hold what no rule would send (a
// test's odd system-exclusive message), so it is judged by its signal alone:
// a full-scale carrier on the 16 phases, silence after it.
inline void ReadBack(StreamRun& run, int id, const std::vector<int16_t>& data, uint32_t rate) {
  MidiSerialDetail serial;
  const DecodedTrack t = id == 7   ? DecodeMidiSerial(data.data(), data.size(), rate, &serial)
                         : id == 8 ? DecodeDisklavier(data.data(), data.size(), rate, &run.dk)
                                   : DecodePianoDisc(data.data(), data.size(), rate, &run.pd);
  run.msgs = id == 7 ? serial.messages : id == 8 ? run.dk.messages : run.pd.messages;
  const auto& s = run.dk;
  if (id == 8 && (s.worstPhaseErrorDegrees > 0.6 || std::fabs(s.minLevel - 8192) > 4 ||
                  std::fabs(s.maxLevel - 8192) > 4 ||
                  std::count(data.begin() + std::min<size_t>(s.endSample, data.size()), data.end(),
                             0) != data.end() - data.begin() - s.endSample)) {
    run.error = "distorted symbols or signal after the data";
  }
  if (id != 8 && !t.errors.empty()) run.error = t.errors[0].text;
  if (t.formatId != id) run.error += " found format " + std::to_string(t.formatId);
}

// Encodes Feed(`events`), or `o.source` when set.
inline std::unique_ptr<StreamRun> RunEncoder(int id, const std::string& events, uint32_t rate,
                                             const RunOptions& o = {}) {
  auto run = std::make_unique<StreamRun>();
  Feed(run->src, events);
  run->out.FailAfter(o.failAfter);
  run->cancel = o.cancelled ? 1 : 0;
  CTonveloFormat& e = *(run->encoder = CreateEncoder(id, {}));
  e.SetSampleRate(rate);
  e.SetVelocityProfile(o.profile);
  e.SetNotifyWindow(&run->events);
  e.SetOutput(&run->out);
  e.SetAccompaniment(o.accompaniment);
  e.SetSource(o.source ? o.source : &run->src);
  e.SetCancelFlag(&run->cancel);
  e.SetTitle(o.title);
  run->result = e.Encode();
  ReadBack(*run, id, id == 7 ? run->out.Left() : run->out.Right(), e.GetSampleRate());
  return run;
}

// Messages as "3:F0 7E 7F | 90 3C 40 | (90) 3E 40": MIDI-serial sync
// symbols before a colon, a running status in parentheses.
inline std::string Text(const std::vector<StreamMessage>& msgs) {
  std::string s;
  for (const auto& m : msgs) {
    std::string t = HexBytes(m.bytes);
    if (!m.statusSent) t = "(" + t.substr(0, 2) + ")" + t.substr(2);
    s += (s.empty() ? "" : " | ") + (m.syncs ? std::to_string(m.syncs) + ":" : "") + t;
  }
  return s;
}

// trunc(s * rate + 0.5), worked out independently of the framework.
inline uint32_t Frames(double s, uint32_t rate) { return static_cast<uint32_t>(s * rate + 0.5); }

// Tests over (sample rate, format id), one encoder run at a time.
class StreamTest : public testing::TestWithParam<std::tuple<uint32_t, int>> {
 protected:
  uint32_t Rate() const { return std::get<0>(GetParam()); }
  int Id() const { return std::get<1>(GetParam()); }
  uint32_t Frames(double s) const { return test::Frames(s, Rate()); }
  // A Disklavier or MIDI-serial symbol, a long PianoDisc half-cycle.
  double Unit() const { return Rate() / (Id() == 8 ? 3150.0 : Id() == 7 ? 3425.0 : 4009.0); }
  const StreamRun& Run(const std::string& events, const RunOptions& o = {}) {
    run_ = RunEncoder(Id(), events, Rate(), o);
    EXPECT_EQ(run_->result, Result::kSuccess);
    EXPECT_EQ(run_->error, "");
    return *run_;
  }
  // The music's messages: PianoDisc's from 0.755 s to the closing three
  // pedals-off, MIDI-serial's after the set-up's silent note to the closing syncs.
  std::vector<StreamMessage> Music() const {
    const auto& m = run_->msgs;
    auto from = std::find_if(m.begin(), m.end(), [&](const StreamMessage& s) {
      return Id() == 7 ? s.syncs == 1 && s.bytes == std::vector<uint8_t>{0, 0}
                       : s.startSample >= Frames(0.755);
    });
    if (Id() == 7 && from != m.end()) ++from;
    return {from, std::max(from, m.end() - (Id() == 7 ? 1 : 3))};
  }
  std::unique_ptr<StreamRun> run_;
};

}  // namespace tonvelo::test
