#include "pipeline/catalogue.h"

namespace tonvelo {

// clang-format off
const std::array<FormatInfo, kFormatCount + 1> kFormatCatalogue{{
  //  id  key                 display name
  {   1, "se",               "B\xC3\xB6sendorfer SE (Tape Mode)" },
  {  10, "cc3a",             "IMI CC-3 Cassette Converter (Ampico A)" },
  {  11, "cc3b",             "IMI CC-3 Cassette Converter (Ampico B)" },
  {   0, "lx",               "Live Performance LX" },
  {   2, "pianocorder",      "Marantz Pianocorder (normal speed, for direct streaming to Pianocorder)" },
  {   3, "pianocorder_half", "Marantz Pianocorder (half speed, for recording to cassette tape)" },
  {   4, "pianodisc_sdp",    "PianoDisc Silent Drive Plus (post-2005; slightly more accurate timing)" },
  {   5, "pianodisc",        "PianoDisc Classic (pre-2005; more compatible with non-PianoDisc equipment)" },
  {   6, "pianomation1",     "QRS Pianomation 1 (1989-1991)" },
  {   7, "pianomation",      "QRS Pianomation MIDI / Baldwin ConcertMaster" },
  {   9, "spirio",           "Steinway Spirio (Silver)" },
  {   8, "disklavier",       "Yamaha Disklavier (PianoSoft Plus Audio)" },
  {   0, nullptr,            nullptr },
}};
// clang-format on

const FormatInfo* FindFormatById(int id) {
  for (const FormatInfo& row : kFormatCatalogue) {
    if (row.displayName == nullptr) break;
    if (row.id == id) return &row;
  }
  return nullptr;
}

const FormatInfo* FindFormatByKey(std::string_view key) {
  for (const FormatInfo& row : kFormatCatalogue) {
    if (row.displayName == nullptr) break;
    if (key == row.key) return &row;
  }
  return nullptr;
}

}  // namespace tonvelo
