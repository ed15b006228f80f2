#pragma once
// The song-title message of a Disklavier track: the title laid out on the
// piano's display of two 16-column lines, words kept whole where they can
// be, both lines centred, then wrapped in a Yamaha system-exclusive message.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tonvelo {

constexpr size_t kTitleLineColumns = 16;
constexpr size_t kTitleColumns = 2 * kTitleLineColumns;
// C0 43 71 7E 10 03, the length, at most 32 characters, C7.
constexpr size_t kTitleMessageMaxBytes = 6 + 1 + kTitleColumns + 1;

struct DisklavierTitleMessage {
  std::array<uint8_t, kTitleMessageMaxBytes> bytes{};
  size_t size = 0;
};

// Lays `title` (8-bit text, NUL-terminated) out in `columns` (line 1 in 0..15,
// line 2 in 16..31, spaces elsewhere) and returns the text length: one past
// the last non-space column, at least 1.
size_t disklavier_title_layout(const char* title, std::array<char, kTitleColumns>& columns);

// The message as it is sent before the stream escape of 0x1E/0x1F bytes.
DisklavierTitleMessage disklavier_title_message(const char* title);

}  // namespace tonvelo
