#pragma once
// Velocity expansion for sources recorded in the Disklavier's narrow velocity
// range (30-95): stretches it over the full 1-127 that the MIDI-serial and
// PianoDisc receivers expect. Shared by both encoders.

#include <array>
#include <cstdint>

namespace tonvelo {

// Input velocity -> output velocity, rows of 16.
constexpr std::array<uint8_t, 128> kVelocityExpansion = {
    0,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,    // 0-15
    1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   1,   2,    // 16-31
    4,   6,   8,   10,  12,  14,  16,  18,  20,  22,  24,  26,  28,  30,  32,  33,   // 32-47
    35,  37,  39,  41,  43,  45,  47,  49,  51,  53,  55,  57,  59,  61,  63,  64,   // 48-63
    66,  68,  70,  72,  74,  76,  78,  80,  82,  84,  86,  88,  90,  92,  94,  95,   // 64-79
    97,  99,  101, 103, 105, 107, 109, 111, 113, 115, 117, 119, 121, 123, 125, 127,  // 80-95
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,  // 96-111
    127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127, 127,  // 112-127
};
static_assert(kVelocityExpansion.size() == 128);

inline uint8_t ExpandVelocity(uint8_t velocity) { return kVelocityExpansion[velocity & 0x7F]; }

}  // namespace tonvelo
