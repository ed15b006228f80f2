#pragma once
// Runs a stream encoder (PianoDisc 4/5, MIDI-serial 7, Disklavier 8) over
// in-memory events and reads its data channel back with the product decoder.
// Events and streams are written as hex text so that cases read as tables.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
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
      if (w[0] == '@')
        delta = static_cast<uint32_t>(std::stoul(w.substr(1)));
      else
        b.push_back(static_cast<uint8_t>(std::stoul(w, nullptr, 16)));
    }
    if (b.empty()) continue;
    const std::vector<uint8_t> body(b.begin() + 1, b.end());
    if (b[0] == 0xFF)
      r.Meta(delta, body[0], {body.begin() + 1, body.end()});
    else if ((b[0] == 0xF0 || b[0] == 0xF7) && !body.empty())
      r.SysEx(delta, body, b[0]);
    else
      r.Channel(delta, b[0], body);
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
  DecodedTrack track;
  std::vector<StreamMessage> msgs;
  DisklavierDetail dk;
  PianoDiscDetail pd;
  std::string error;  // empty: the decoder found the format and no fault
};

// Decodes `data`. A Disklavier stream may hold what no rule would send (a
// test's odd system-exclusive message), so it is judged by its signal alone:
// a full-scale carrier on the 16 phases, silence after it.
inline void ReadBack(StreamRun& run, int id, const std::vector<int16_t>& data, uint32_t rate) {
  if (id == 7) {
    MidiSerialDetail d;
    run.track = DecodeMidiSerial(data.data(), data.size(), rate, &d);
    run.msgs = d.messages;
  } else if (id == 8) {
    run.track = DecodeDisklavier(data.data(), data.size(), rate, &run.dk);
    run.msgs = run.dk.messages;
    const auto& s = run.dk;
    if (s.worstPhaseErrorDegrees > 0.6 || std::fabs(s.minLevel - 8192) > 4 ||
        std::fabs(s.maxLevel - 8192) > 4)
      run.error = "distorted symbols";
    if (std::any_of(data.begin() + std::min<size_t>(s.endSample, data.size()), data.end(),
                    [](int16_t v) { return v != 0; }))
      run.error = "signal after the data";
  } else {
    run.track = DecodePianoDisc(data.data(), data.size(), rate, &run.pd);
    run.msgs = run.pd.messages;
  }
  if (id != 8 && !run.track.errors.empty()) run.error = run.track.errors[0].text;
  if (run.track.formatId != id) run.error += " found format " + std::to_string(run.track.formatId);
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

// Disklavier: the output position after k symbols from `lead`, k * rate /
// 3150 samples rounded half up; and the symbol count at which idling from
// symbol `from` reaches `target`.
inline size_t DkPosition(size_t lead, size_t k, uint32_t rate) {
  return lead + (2 * k * rate + 3150) / (2 * 3150);
}
inline size_t DkIdleUntil(size_t lead, size_t from, size_t target, uint32_t rate) {
  while (DkPosition(lead, from, rate) < target) ++from;
  return from;
}

// Disklavier symbol values rendered the long way: output sample m of a
// frame is point m * 160 (44.1 kHz) or m * 147 (48 kHz) of the frame's 21
// two-cycle symbol tables laid end to end; `lead` zeros before, `trail` after.
inline std::vector<int16_t> DkReferenceSignal(const std::vector<uint8_t>& values, size_t lead,
                                              uint32_t rate, size_t trail) {
  constexpr uint8_t kIncrement[16] = {3, 4, 12, 11, 2, 5, 13, 10, 0, 7, 15, 8, 1, 6, 14, 9};
  std::vector<int16_t> out(lead, 0);
  uint32_t phase[21], p = 4;  // the carrier phase before the first symbol
  for (size_t f = 0; f + 21 <= values.size(); f += 21) {
    for (size_t s = 0; s < 21; ++s) phase[s] = p = (p + kIncrement[values[f + s]]) % 16;
    for (size_t j = 0; j < 47040; j += rate == 48000 ? 147 : 160) {
      out.push_back(static_cast<int16_t>(
          8192.0 * std::sin(2.0 * M_PI * (j % 1120) / 1120.0 + phase[j / 2240] * M_PI / 8.0)));
    }
  }
  out.insert(out.end(), trail, 0);
  return out;
}

}  // namespace tonvelo::test
