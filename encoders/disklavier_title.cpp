#include "encoders/disklavier_title.h"

#include <algorithm>
#include <cstring>

namespace tonvelo {

namespace {

constexpr int kLine2 = static_cast<int>(kTitleLineColumns);  // first column of line 2
constexpr int kLastOfLine1 = kLine2 - 1;                     // column 15
constexpr int kAllColumns = static_cast<int>(kTitleColumns);

// Underscores stand for spaces in file names.
char Normalised(char c) { return c == '_' ? ' ' : c; }

bool IsPrintable(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 0x20 && u <= 0x7E;
}

struct Span {
  int first = -1;  // -1: no text on the line
  int last = -1;
  int Length() const { return first < 0 ? 0 : last - first + 1; }
};

Span TextSpan(const std::array<char, kTitleColumns>& cols, int from, int to) {
  Span s;
  for (int k = from; k < to; ++k) {
    if (cols[k] == ' ') continue;
    if (s.first < 0) s.first = k;
    s.last = k;
  }
  return s;
}

// Places the characters, wrapping a word that would cross the end of line 1
// onto line 2 when there is a space to break at. Returns the columns used.
int PlaceCharacters(const char* title, std::array<char, kTitleColumns>& cols) {
  const size_t n = std::strlen(title);
  int col = 0;
  char prev = ' ';  // so leading spaces are skipped
  for (size_t i = 0; i < n && col < kAllColumns; ++i) {
    const char c = Normalised(title[i]);
    if (c == ' ' && prev == ' ') continue;
    prev = c;
    if (!IsPrintable(c)) continue;
    if (col != kLastOfLine1) {
      cols[col++] = c;
      continue;
    }
    const char next = i + 1 < n ? Normalised(title[i + 1]) : '\0';
    if (c == ' ' || next == ' ') {
      cols[col++] = c;
      continue;
    }
    // A word crosses the line end. Long remainders only break close to the
    // end of line 1, so that line 2 still has room for them.
    const int lowest = (n - i >= 10) ? 9 : 1;
    int space = -1;
    for (int k = kLastOfLine1 - 1; k >= lowest; --k) {
      if (cols[k] == ' ') {
        space = k;
        break;
      }
    }
    if (space < 0) {
      cols[col++] = c;  // no break point: the word is split
      continue;
    }
    const int moved = kLastOfLine1 - 1 - space;
    for (int k = 0; k < moved; ++k) cols[kLine2 + k] = cols[space + 1 + k];
    for (int k = space + 1; k < kLine2; ++k) cols[k] = ' ';
    col = kLine2 + moved;
    cols[col++] = c;
  }
  return col;
}

}  // namespace

size_t disklavier_title_layout(const char* title, std::array<char, kTitleColumns>& columns) {
  std::array<char, kTitleColumns> placed;
  placed.fill(' ');
  const int used = PlaceCharacters(title, placed);

  Span line1 = TextSpan(placed, 0, kLine2);
  Span line2 = TextSpan(placed, kLine2, kAllColumns);
  columns.fill(' ');
  if (used < kLine2) {
    const int offset = (kLine2 - line1.Length()) / 2;
    for (int k = 0; k < line1.Length(); ++k) columns[offset + k] = placed[line1.first + k];
  } else {
    // Keep the space that separated the lines with one of them, so both
    // centre as if the break had not happened.
    if (line1.first >= 0 && line2.first >= 0) {
      if (line1.last < kLastOfLine1) {
        ++line1.last;
      } else if (line2.first > kLine2) {
        --line2.first;
      }
    }
    const int offset = (kLine2 - std::max(line1.Length(), line2.Length())) / 2;
    for (int k = 0; k < line1.Length(); ++k) columns[offset + k] = placed[line1.first + k];
    for (int k = 0; k < line2.Length(); ++k) columns[kLine2 + offset + k] = placed[line2.first + k];
  }

  size_t length = 1;
  for (int k = kAllColumns - 1; k >= 0; --k) {
    if (columns[k] != ' ') {
      length = static_cast<size_t>(k) + 1;
      break;
    }
  }
  return length;
}

DisklavierTitleMessage disklavier_title_message(const char* title) {
  std::array<char, kTitleColumns> columns;
  const size_t length = disklavier_title_layout(title, columns);
  DisklavierTitleMessage m;
  size_t n = 0;
  for (uint8_t b : {0xC0, 0x43, 0x71, 0x7E, 0x10, 0x03}) m.bytes[n++] = b;
  m.bytes[n++] = static_cast<uint8_t>(length);
  for (size_t k = 0; k < length; ++k) m.bytes[n++] = static_cast<uint8_t>(columns[k]);
  m.bytes[n++] = 0xC7;
  m.size = n;
  return m;
}

}  // namespace tonvelo
