#pragma once
// The format catalogue: the one table naming the twelve player-piano formats.
// Row order is display order and differs from id order; never mix the two.

#include <array>
#include <optional>
#include <string_view>

namespace tonvelo {

struct FormatInfo {
  int id;
  const char* key;          // prefix for output names ("disklavier" -> disklavier_song.wav)
  const char* displayName;  // what the user picks from
};

constexpr int kFormatCount = 12;
constexpr int kFormatPianocorder = 2;
constexpr int kFormatHalfSpeed = 3;  // "pianocorder_half": every output frame written twice
constexpr int kFormatDisklavier = 8;
constexpr int kFormatCassetteA = 10;  // Cassette Converter, Ampico A
constexpr int kFormatCassetteB = 11;  // Cassette Converter, Ampico B

// Terminated by a row with null key and display name.
extern const std::array<FormatInfo, kFormatCount + 1> kFormatCatalogue;

// First row whose id matches; nullptr when the id is not in the catalogue.
const FormatInfo* FindFormatById(int id);
// Case-sensitive key lookup, for the command line.
const FormatInfo* FindFormatByKey(std::string_view key);

}  // namespace tonvelo
