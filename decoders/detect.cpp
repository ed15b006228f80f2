#include "decoders/detect.h"

#include <cstdlib>

#include "decoders/disklavier_decoder.h"
#include "decoders/lx_decoder.h"
#include "decoders/midi_serial_decoder.h"
#include "decoders/pianocorder_decoder.h"
#include "decoders/pianodisc_decoder.h"

namespace tonvelo {

namespace {

// clang-format off
constexpr FamilyDecoder kFamilies[] = {
  //  family                       name           decode
  {SignalFamily::kDisklavier,    "Disklavier",   &DecodeDisklavier},
  {SignalFamily::kMidiSerial,    "MIDI-serial",  &DecodeMidiSerial},
  {SignalFamily::kPianoDisc,     "PianoDisc",    &DecodePianoDisc},
  {SignalFamily::kLX,            "LX",           &DecodeLX},
  {SignalFamily::kPianocorder,   "Pianocorder",  &DecodePianocorder},
  {SignalFamily::kCassetteConverter, "Cassette Converter", &DecodeCassetteConverter},
};
// clang-format on

constexpr double kExcerptSeconds = 3.0;
constexpr int kRestTolerance = 256;  // how far from its first value a channel must move to start

// The part of a channel that detection looks at: a few seconds from where it
// first moves.
std::span<const int16_t> Excerpt(const int16_t* x, size_t count, uint32_t rate) {
  size_t first = 0;
  while (first < count && std::abs(x[first] - x[0]) < kRestTolerance) ++first;
  if (first == count) return {};
  const size_t back = rate / 100;
  first = first > back ? first - back : 0;
  const size_t length = std::min(count - first, static_cast<size_t>(kExcerptSeconds * rate));
  return {x + first, length};
}

}  // namespace

std::span<const FamilyDecoder> FamilyDecoders() { return kFamilies; }

const FamilyDecoder* FindFamilyDecoder(SignalFamily family) {
  for (const FamilyDecoder& row : kFamilies) {
    if (row.family == family) return &row;
  }
  return nullptr;
}

DecodedTrack DetectAndDecode(const int16_t* left, const int16_t* right, size_t frames,
                             uint32_t sampleRateHz) {
  const int16_t* channels[2] = {left, right};
  const FamilyDecoder* best = nullptr;
  int bestChannel = -1;
  double bestConfidence = kMinConfidence;
  for (int c = 0; c < 2; ++c) {
    if (channels[c] == nullptr) continue;
    const auto excerpt = Excerpt(channels[c], frames, sampleRateHz);
    if (excerpt.empty()) continue;
    for (const FamilyDecoder& row : kFamilies) {
      const DecodedTrack probe = row.decode(excerpt.data(), excerpt.size(), sampleRateHz);
      if (probe.confidence > bestConfidence) {
        best = &row, bestChannel = c, bestConfidence = probe.confidence;
      }
    }
  }
  if (best == nullptr) return {};
  DecodedTrack track = best->decode(channels[bestChannel], frames, sampleRateHz);
  track.dataChannel = bestChannel;
  return track;
}

}  // namespace tonvelo
