#pragma once
// What defines the LX-family signal: the three variants and their frame
// layouts, the clock of 1.25 ms ticks and 256-tick blocks, and the sustain
// level table. Header only, so whoever reads the signal back shares these
// definitions without sharing any of the encoder's computation.

#include <array>
#include <cstdint>

namespace tonvelo {

enum LXMode : uint32_t {
  LX_MODE_LX = 0,            // Live Performance LX, Steinway Spirio (Silver)
  LX_MODE_SE_TAPE = 1,       // Bosendorfer SE, tape mode
  LX_MODE_PIANOMATION1 = 2,  // QRS Pianomation 1 (1989-1991)
};
constexpr uint32_t kLXModeCount = 3;

constexpr uint32_t kLXTickMicroseconds = 1250;
constexpr uint32_t kLXTicksPerBlock = 256;
constexpr uint32_t kLXTicksPerSecond = 800;
constexpr uint32_t kLXBitsPerSecond = 6400;  // 800 bytes a second, 256 per block
constexpr int16_t kLXAmplitude = 8192;
constexpr uint32_t kLXSustainSlots = 32;  // one level per 8 ticks
constexpr uint32_t kLXSoftSlots = 16;     // one level per 16 ticks
constexpr uint32_t kLXSustainInterval = kLXTicksPerBlock / kLXSustainSlots;
constexpr uint32_t kLXSoftInterval = kLXTicksPerBlock / kLXSoftSlots;
constexpr uint32_t kLXQueueBytes = 320;
constexpr uint32_t kLXCrcBytes = 4;
constexpr uint32_t kLXSyncBytes = 4;
constexpr uint32_t kLXLowestKey = 12;
constexpr uint32_t kLXHighestKey = 108;
constexpr uint32_t kLXSostenutoKey = 0;  // key number 0 in a note record
constexpr uint32_t kLXMaxStrike = 1020;
constexpr uint32_t kLXMinStrike = 4;

constexpr uint32_t kLXCrc32Polynomial = 0xEDB88320;  // reflected IEEE 802.3
constexpr uint32_t kLXCrcSePolynomial = 0x01020009;  // MSB first, modes 1 and 2

// clang-format off
struct LXModeInfo {
  double accompanimentDelaySeconds;  // the receiver's latency
  uint32_t seedBytes;                // random bytes run through the scrambler first
  uint32_t closingTicks;             // trailer: closingTicks * 1.1 / 800 seconds
  uint32_t leaderBytes;              // scrambled zeros before the first frame
  uint8_t sync[kLXSyncBytes];
  uint8_t tag[2];                    // fixed header field
  uint32_t headerBytes;              // sync word up to the pedal levels
  uint32_t lengthBase;               // length field = queue bytes + this
  bool littleEndian;                 // multi-byte fields and bit order
  bool leaderCounts;                 // the leader advances the byte position
};
//                                 delay seed closing leader  sync                    tag         hdr len  LE     leader
constexpr std::array<LXModeInfo, kLXModeCount> kLXModes{{
  /* LX_MODE_LX           */ {1.0,   8,   800,    32, {0xFE, 0xFF, 0xFF, 0xFF}, {0x01, 0x00}, 20, 62, true,  true},
  /* LX_MODE_SE_TAPE      */ {2.0,   4,   800,   800, {0x7F, 0xFF, 0xFF, 0xFF}, {0x0D, 0xF0}, 12, 54, false, false},
  /* LX_MODE_PIANOMATION1 */ {3.0,   4,  1750,   650, {0x7F, 0xFF, 0xFF, 0xFF}, {0x0F, 0xFF}, 12, 54, false, false},
}};
// clang-format on
static_assert(kLXModes.size() == kLXModeCount);

// Sustain value 0..255 (the controller value doubled) to sustain level.
// clang-format off
constexpr std::array<uint8_t, 256> kLXSustainLevel{{
    0,   1,   2,   2,   3,   4,   5,   6,   7,   7,   8,   9,  10,  11,  12,  12,
   13,  14,  15,  16,  17,  17,  18,  19,  20,  21,  21,  22,  23,  24,  25,  26,
   26,  27,  28,  29,  30,  31,  31,  32,  33,  34,  35,  36,  36,  37,  38,  39,
   40,  41,  41,  42,  43,  44,  45,  45,  46,  47,  48,  49,  50,  50,  51,  52,
   53,  54,  55,  55,  56,  57,  58,  59,  60,  60,  61,  62,  63,  64,  64,  65,
   66,  67,  68,  69,  69,  70,  71,  72,  73,  74,  74,  75,  76,  77,  78,  79,
   79,  80,  81,  82,  83,  84,  84,  85,  86,  87,  88,  89,  89,  90,  91,  92,
   93,  94,  95,  96,  97,  97,  98,  99, 100, 101, 102, 103, 104, 105, 106, 107,
  108, 109, 110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 121, 122, 123, 124,
  125, 126, 127, 128, 129, 131, 132, 133, 134, 135, 136, 138, 139, 140, 141, 142,
  143, 145, 146, 147, 148, 149, 150, 152, 153, 154, 155, 156, 158, 159, 160, 161,
  162, 163, 165, 166, 167, 168, 169, 170, 172, 173, 174, 175, 176, 177, 179, 180,
  181, 182, 183, 185, 186, 187, 188, 189, 190, 192, 193, 194, 195, 196, 197, 199,
  200, 201, 202, 203, 204, 206, 207, 208, 209, 210, 212, 213, 214, 215, 216, 217,
  219, 220, 221, 222, 223, 224, 226, 227, 228, 229, 230, 232, 233, 234, 235, 236,
  237, 239, 240, 241, 242, 243, 244, 246, 247, 248, 249, 250, 251, 253, 254, 255,
}};
// clang-format on

}  // namespace tonvelo
