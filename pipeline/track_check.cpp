#include "pipeline/track_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "audio/pcm_in_mp3.h"
#include "audio/pcm_in_wav.h"
#include "decoders/detect.h"
#include "decoders/stream_message.h"
#include "pipeline/catalogue.h"
#include "pipeline/expected_events.h"
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

bool LooksLikeWav(const std::filesystem::path& path) {
  FileHandle f = kInvalidFile;
  if (!file_open_read(path, f)) return false;
  char head[4] = {};
  const bool riff = file_read(f, head, 4) && std::string(head, 4) == "RIFF";
  file_close(f);
  return riff;
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

std::string EventText(const DecodedEvent& e) {
  return HexBytes({e.status, e.data1, e.data2}) + Format(" at %.3f s", e.timeSeconds);
}

}  // namespace

bool LoadTrack(const std::filesystem::path& path, TrackAudio& audio, std::string& error) {
  std::unique_ptr<CPCMIn> in;
  if (LooksLikeWav(path)) {
    in = std::make_unique<CPCMIn_WAV>();
  } else {
    in = std::make_unique<CPCMIn_MP3>();
  }
  if (in->Open(path) != AudioResult::kOk || in->GetSampleRate() == 0) {
    error = Say("cannot read '", path.string(), "' as a WAV or MP3 track");
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

Comparison CompareEvents(const std::vector<DecodedEvent>& expectedAll, const DecodedTrack& found,
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
  const FormatInfo* format = FindFormatById(track.formatId);
  v.report = path.string() + ": " + (format ? format->displayName : "?") + " (id " +
             std::to_string(track.formatId) + "), " + rate + ", data on the " +
             (track.dataChannel == 0 ? "left" : "right") + " channel\n";
  v.report += Format("  data from %.3f s to %.3f s", track.dataStartSeconds, track.dataEndSeconds) +
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
  const Comparison c = CompareEvents(expected, track, rules->timingToleranceSeconds);
  v.report += "  against " + againstSong.string() + ": " + (c.agree ? "agree" : "differ") + ", " +
              std::to_string(c.foundEvents) + " of " + std::to_string(c.expectedEvents) +
              " notes and pedals" +
              Format(", largest timing error %.1f ms\n", c.largestTimingErrorSeconds * 1000.0);
  if (!c.firstDifference.empty()) v.report += "  first difference: " + c.firstDifference + "\n";
  if (!c.agree) v.result = Result::kDataFormatError;
  return v;
}

Result DecodeTrackToSmf(const std::filesystem::path& path, const std::filesystem::path& output,
                        std::string& message) {
  TrackAudio audio;
  if (!LoadTrack(path, audio, message)) return Result::kSourceDamaged;
  const DecodedTrack track = DecodeTrackAudio(audio);
  if (track.family == SignalFamily::kNone) {
    message = Say("'", path.string(), "' has no data signal");
    return Result::kDataFormatError;
  }
  if (!WriteFileAtomically(output, BuildSmf(track.events))) {
    message = Say("cannot write '", output.string(), "'");
    return Result::kWriteError;
  }
  message = "wrote " + output.string() + ": " + std::to_string(CountNotes(track)) + " notes, " +
            std::to_string(track.errors.size()) + " errors";
  return track.errors.empty() ? Result::kSuccess : Result::kDataFormatError;
}

}  // namespace tonvelo
