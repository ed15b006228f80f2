#include "pipeline/track_check.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>

#include "audio/pcm_in_flac.h"
#include "audio/pcm_in_mp3.h"
#include "audio/pcm_in_wav.h"
#include "decoders/detect.h"
#include "decoders/pianocorder_decoder.h"
#include "decoders/stream_message.h"
#include "pipeline/catalogue.h"
#include "pipeline/smf_writer.h"
#include "readers/eseq2mid.h"
#include "readers/smf2mid.h"

namespace tonvelo {

namespace {

constexpr size_t kErrorsListed = 10;

std::string Format(const char* format, double a, double b = 0.0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// "before" + text + "after", built by appending (GCC's -Wrestrict
// misfires on chains of operator+ here).
std::string Say(const char* before, const std::string& text, const char* after) {
  std::string s(before);
  s.append(text);
  s.append(after);
  return s;
}

// The first four bytes of a file; empty when it cannot be read.
std::string Mark(const std::filesystem::path& path) {
  FileHandle f = kInvalidFile;
  if (!file_open_read(path, f)) return {};
  char head[4] = {};
  const bool read = file_read(f, head, 4);
  file_close(f);
  return read ? std::string(head, 4) : std::string();
}

// Opens a song the way a conversion does: as a Standard MIDI File, else ESEQ
// (whose velocities the conversion always takes as the Disklavier range).
std::unique_ptr<CMusicFile2MID> OpenSong(const std::filesystem::path& path, bool& eseq) {
  auto smf = std::make_unique<CSMF2MID>();
  OpenResult r = smf->Open(path);
  eseq = false;
  if (r == OpenResult::kOpened) return smf;
  if (r != OpenResult::kNotThisFormat) return nullptr;
  auto reader = std::make_unique<CESEQ2MID>();
  eseq = true;
  if (reader->Open(path) == OpenResult::kOpened) return reader;
  return nullptr;
}

// Formats whose signals are identical by design cannot be told apart: the
// report names both.
std::string FormatLabel(int id) {
  static constexpr int kTwins[][2] = {{0, 9}, {10, 11}};
  const FormatInfo* format = FindFormatById(id);
  const std::string name = format ? format->displayName : "?";
  for (const auto& twin : kTwins) {
    if (id != twin[0] && id != twin[1]) continue;
    const FormatInfo* other = FindFormatById(twin[0] + twin[1] - id);
    return name + " or " + (other ? other->displayName : "?") + " (id " + std::to_string(twin[0]) +
           " or " + std::to_string(twin[1]) + ")";
  }
  return name + " (id " + std::to_string(id) + ")";
}

std::string EventText(const DecodedEvent& e) {
  return HexBytes({e.status, e.data1, e.data2}) + Format(" at %.3f s", e.timeSeconds);
}

}  // namespace

bool LoadTrack(const std::filesystem::path& path, TrackAudio& audio, std::string& error) {
  std::unique_ptr<CPCMIn> in;
  const std::string mark = Mark(path);
  if (mark == "RIFF") {
    in = std::make_unique<CPCMIn_WAV>();
  } else if (mark == "fLaC") {
    in = std::make_unique<CPCMIn_FLAC>();
  } else {
    in = std::make_unique<CPCMIn_MP3>();
  }
  if (in->Open(path) != AudioResult::kOk || in->GetSampleRate() == 0) {
    error = Say("cannot read '", path.string(), "' as a WAV, FLAC or MP3 track");
    return false;
  }
  if (in->GetBitsPerSample() != 16) {
    error = Say("'", path.string(), "' does not contain 16-bit samples");
    in->Close();
    return false;
  }
  audio = TrackAudio{};
  audio.sampleRateHz = in->GetSampleRate();
  audio.channels = in->GetChannels();
  const uint32_t length = in->GetLength();
  audio.left.reserve(length);
  if (audio.channels > 1) audio.right.reserve(length);
  PcmFrame frame;
  for (uint32_t i = 0; i < length; ++i) {
    if (in->ReadFrame(frame) != AudioResult::kOk) {
      error = Say("'", path.string(), "' could not be read to its end");
      in->Close();
      return false;
    }
    audio.left.push_back(frame.left);
    if (audio.channels > 1) audio.right.push_back(frame.right);
  }
  in->Close();
  return true;
}

DecodedTrack DecodeTrackAudio(const TrackAudio& audio) {
  return DetectAndDecode(audio.left.data(), audio.right.empty() ? nullptr : audio.right.data(),
                         audio.left.size(), audio.sampleRateHz);
}

namespace {

Comparison CompareInOrder(const std::vector<DecodedEvent>& expectedAll, const DecodedTrack& found,
                          double toleranceSeconds) {
  const std::vector<DecodedEvent> want = NotesAndPedals(expectedAll);
  const std::vector<DecodedEvent> got = NotesAndPedals(found.events);
  Comparison c;
  c.expectedEvents = want.size();
  c.foundEvents = got.size();
  size_t n = std::min(want.size(), got.size());
  for (size_t i = 0; i < n; ++i) {
    const bool off = (want[i].status & 0xF0) == 0x80;
    if (want[i].status != got[i].status || want[i].data1 != got[i].data1 ||
        (!off && want[i].data2 != got[i].data2)) {
      c.firstDifference = "expected " + EventText(want[i]) + ", found " + EventText(got[i]);
      n = i;  // past a difference the two lists no longer pair up
    }
  }
  if (c.firstDifference.empty() && want.size() != got.size()) {
    c.firstDifference = want.size() > got.size() ? "expected " + EventText(want[n]) + ", found none"
                                                 : "found " + EventText(got[n]) + " not expected";
  }
  // The scheduler releases the first event at once and times the rest from
  // it, less half the span of its first step (which covers the opening
  // burst): that constant lead is its rule, not an error. An event can leave
  // no earlier than the one before it.
  size_t first = 0;
  while (first < n && want[first].timeSeconds < 0.0) ++first;
  if (first < n) {
    const double start = got[first].timeSeconds - want[first].timeSeconds;
    const double opening = want[first].timeSeconds;
    double lead = 0.0;
    for (size_t i = first; i < n; ++i) {
      if (want[i].timeSeconds > opening) {
        lead = std::max(lead, start + want[i].timeSeconds - got[i].timeSeconds);
      }
    }
    for (size_t i = first; i < n; ++i) {
      double due = start + want[i].timeSeconds - (want[i].timeSeconds > opening ? lead : 0.0);
      if (i > first) due = std::max(due, got[i - 1].timeSeconds);
      c.largestTimingErrorSeconds =
          std::max(c.largestTimingErrorSeconds, std::fabs(got[i].timeSeconds - due));
    }
  }
  c.agree = c.firstDifference.empty() && c.largestTimingErrorSeconds <= toleranceSeconds;
  return c;
}

// Pedals read as switches, down from half travel, one event per change.
std::vector<DecodedEvent> Switches(const std::vector<DecodedEvent>& events, double scale) {
  std::vector<DecodedEvent> out;
  bool down[4] = {};
  for (DecodedEvent e : events) {
    e.timeSeconds *= scale;
    if ((e.status & 0xF0) == 0xB0) {
      bool& state = down[e.data1 - 64];
      if ((e.data2 >= 64) == state) continue;
      state = !state;
      e.data2 = state ? 127 : 0;
    }
    out.push_back(e);
  }
  return out;
}

bool IsPedal(const DecodedEvent& e) { return (e.status & 0xF0) == 0xB0; }

// Pairs the n-th expected event of a kind (note-on of a key, a pedal going
// down, ...) with the n-th found one of that kind.
Comparison CompareByKey(const std::vector<DecodedEvent>& expectedAll, const DecodedTrack& found,
                        const FamilyRules& rules) {
  const std::vector<DecodedEvent> want = Switches(NotesAndPedals(expectedAll), 1.0);
  const std::vector<DecodedEvent> got =
      Switches(NotesAndPedals(found.events), 1.0 / TrackSecondsPerSongSecond(found.formatId));
  Comparison c;
  c.expectedEvents = want.size();
  c.foundEvents = got.size();
  const auto kindOf = [](const DecodedEvent& e) {
    return IsPedal(e) ? 0xB00000u | e.data1 << 8 | e.data2 : uint32_t{e.status} << 8 | e.data1;
  };
  std::map<uint32_t, std::vector<size_t>> foundOfKind;
  for (size_t i = 0; i < got.size(); ++i) foundOfKind[kindOf(got[i])].push_back(i);
  std::map<uint32_t, size_t> used;
  std::vector<bool> paired(got.size(), false);
  std::vector<std::pair<size_t, size_t>> pairs;
  double firstAt = 1e300;
  const auto differ = [&](double at, const std::string& text) {
    if (at < firstAt) firstAt = at, c.firstDifference = text;
  };
  for (size_t i = 0; i < want.size(); ++i) {
    const std::vector<size_t>& candidates = foundOfKind[kindOf(want[i])];
    size_t& n = used[kindOf(want[i])];
    if (n >= candidates.size()) {
      differ(want[i].timeSeconds, "expected " + EventText(want[i]) + ", found none");
      continue;
    }
    paired[candidates[n]] = true;
    pairs.emplace_back(i, candidates[n++]);
  }
  for (size_t j = 0; j < got.size(); ++j) {
    if (!paired[j]) differ(got[j].timeSeconds, "found " + EventText(got[j]) + " not expected");
  }
  // Velocities, exactly or within the loudness of the notes around.
  for (const auto& [i, j] : pairs) {
    if ((want[i].status & 0xF0) != 0x90) continue;
    uint8_t lo = want[i].data2, hi = want[i].data2;
    if (rules.loudnessWindowSeconds > 0.0) {
      for (const DecodedEvent& e : want) {
        if ((e.status & 0xF0) != 0x90 ||
            std::fabs(e.timeSeconds - want[i].timeSeconds) > rules.loudnessWindowSeconds) {
          continue;
        }
        lo = std::min(lo, rules.heard ? rules.heard(e.data2) : e.data2);
        hi = std::max(hi, e.data2);
      }
    }
    if (got[j].data2 < lo || got[j].data2 > hi) {
      differ(want[i].timeSeconds,
             "expected " + EventText(want[i]) + ", found " + EventText(got[j]));
    }
  }
  // One offset for the whole track, in the middle of the notes' offsets.
  double low = 1e300, high = -1e300;
  for (const auto& [i, j] : pairs) {
    if (IsPedal(want[i])) continue;
    low = std::min(low, got[j].timeSeconds - want[i].timeSeconds);
    high = std::max(high, got[j].timeSeconds - want[i].timeSeconds);
  }
  const double offset = low <= high ? (low + high) / 2 : 0.0;
  c.largestPedalErrorSeconds = 0.0;
  for (const auto& [i, j] : pairs) {
    double& largest = IsPedal(want[i]) ? c.largestPedalErrorSeconds : c.largestTimingErrorSeconds;
    largest = std::max(largest, std::fabs(got[j].timeSeconds - want[i].timeSeconds - offset));
  }
  c.agree = c.firstDifference.empty() &&
            c.largestTimingErrorSeconds <= rules.timingToleranceSeconds &&
            c.largestPedalErrorSeconds <= rules.pedalToleranceSeconds;
  return c;
}

}  // namespace

Comparison CompareEvents(const std::vector<DecodedEvent>& expected, const DecodedTrack& found,
                         const FamilyRules& rules) {
  if (rules.pairing == Pairing::kByKey) return CompareByKey(expected, found, rules);
  return CompareInOrder(expected, found, rules.timingToleranceSeconds);
}

size_t CountNotes(const DecodedTrack& track) {
  return static_cast<size_t>(std::count_if(
      track.events.begin(), track.events.end(),
      [](const DecodedEvent& e) { return (e.status & 0xF0) == 0x90 && e.data2 > 0; }));
}

bool ExpectedEventsFor(SignalFamily family, const std::filesystem::path& songPath,
                       const ConversionSettings& settings, std::vector<DecodedEvent>& events) {
  const FamilyRules* rules = FindFamilyRules(family);
  bool eseq = false;
  std::unique_ptr<CMusicFile2MID> song = OpenSong(songPath, eseq);
  if (rules == nullptr || rules->expect == nullptr || !song) return false;
  SongContext context{*song, settings,
                      eseq ? kVelocityProfileDisklavier : settings.velocityProfile};
  std::vector<SongEvent> probe;
  if (!ReadSongEvents(*song, probe)) return false;
  events = rules->expect(context);
  return true;
}

VerifyResult VerifyTrack(const std::filesystem::path& path,
                         const std::filesystem::path& againstSong,
                         const ConversionSettings& settings) {
  VerifyResult v;
  TrackAudio audio;
  std::string error;
  if (!LoadTrack(path, audio, error)) {
    v.result = Result::kSourceDamaged;
    v.report = path.string() + ": " + error + "\n";
    return v;
  }
  const DecodedTrack track = DecodeTrackAudio(audio);
  const std::string rate = std::to_string(audio.sampleRateHz) + " Hz";
  if (track.family == SignalFamily::kNone) {
    v.result = Result::kDataFormatError;
    v.report = path.string() + ": " + rate + ", no data signal\n";
    return v;
  }
  v.report = path.string() + ": " + FormatLabel(track.formatId) + ", " + rate + ", data on the " +
             (track.dataChannel == 0 ? "left" : "right") + " channel\n";
  // The signal may start a fraction of a sample before the track does.
  v.report += Format("  data from %.3f s to %.3f s", std::max(0.0, track.dataStartSeconds),
                     track.dataEndSeconds) +
              ", " + std::to_string(track.unitsDecoded) + " messages, " +
              std::to_string(track.errors.size()) + " errors, " +
              std::to_string(CountNotes(track)) + " notes\n";
  for (size_t i = 0; i < track.errors.size() && i < kErrorsListed; ++i) {
    v.report +=
        Format("  error at %.3f s: ", track.errors[i].timeSeconds) + track.errors[i].text + "\n";
  }
  if (track.errors.size() > kErrorsListed) {
    v.report +=
        "  ... and " + std::to_string(track.errors.size() - kErrorsListed) + " more errors\n";
  }
  if (!track.errors.empty()) v.result = Result::kDataFormatError;
  if (againstSong.empty()) return v;

  const FamilyRules* rules = FindFamilyRules(track.family);
  if (rules == nullptr || rules->expect == nullptr) {
    v.report += "  no comparison: the rules of this format are not known\n";
    return v;
  }
  std::vector<DecodedEvent> expected;
  if (!ExpectedEventsFor(track.family, againstSong, settings, expected)) {
    v.report += "  cannot read the song '" + againstSong.string() + "'\n";
    v.result = Result::kSourceDamaged;
    return v;
  }
  const Comparison c = CompareEvents(expected, track, *rules);
  v.report += "  against " + againstSong.string() + ": " + (c.agree ? "agree" : "differ") + ", " +
              std::to_string(c.foundEvents) + " of " + std::to_string(c.expectedEvents) +
              " notes and pedals" +
              Format(", largest timing error %.1f ms", c.largestTimingErrorSeconds * 1000.0) +
              (c.largestPedalErrorSeconds < 0.0
                   ? std::string()
                   : Format(" (pedals %.1f ms)", c.largestPedalErrorSeconds * 1000.0)) +
              "\n";
  if (!c.firstDifference.empty()) v.report += "  first difference: " + c.firstDifference + "\n";
  if (!c.agree) v.result = Result::kDataFormatError;
  return v;
}

Result DecodeTrackToFile(const std::filesystem::path& path, const std::filesystem::path& output,
                         std::string& message) {
  TrackAudio audio;
  if (!LoadTrack(path, audio, message)) return Result::kSourceDamaged;
  const DecodedTrack track = DecodeTrackAudio(audio);
  if (track.family == SignalFamily::kNone) {
    message = Say("'", path.string(), "' has no data signal");
    return Result::kDataFormatError;
  }
  std::string ext = output.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  std::string what = std::to_string(CountNotes(track)) + " notes, ";
  if (ext == ".pc") {
    if (track.family != SignalFamily::kPianocorder) {
      message = Say("'", path.string(), "' is not a Pianocorder track (it carries ") +
                FormatLabel(track.formatId) + "); only Pianocorder frames can be written as .pc";
      return Result::kDataFormatError;
    }
    // The frames again, from the channel detection chose.
    DecodedFrames frames;
    const std::vector<int16_t>& channel = track.dataChannel == 0 ? audio.left : audio.right;
    (void)DecodePianocorder(channel.data(), channel.size(), audio.sampleRateHz, &frames);
    if (!WritePianocorderFrames(output, frames)) {
      message = Say("cannot write '", output.string(), "'");
      return Result::kWriteError;
    }
    what = std::to_string(frames.frames.size()) + " frames, ";
  } else if (!WriteFileAtomically(output, BuildSmf(track.events))) {
    message = Say("cannot write '", output.string(), "'");
    return Result::kWriteError;
  }
  message =
      "wrote " + output.string() + ": " + what + std::to_string(track.errors.size()) + " errors";
  return track.errors.empty() ? Result::kSuccess : Result::kDataFormatError;
}

}  // namespace tonvelo
