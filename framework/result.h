#pragma once
// Result codes shared by the readers' event delivery, the encoders and the
// conversion thread. The numeric values are fixed: they travel to the front
// ends as the batch result and become the command line's exit status.

namespace tonvelo {

enum class Result : int {
  kSuccess = 0,
  kEndOfEvents = 1,  // only the event scheduler returns this
  kCancelled = 2,
  kSourceDamaged = 3,
  kWriteError = 4,
  kOutOfMemory = 5,
  kDataFormatError = 6,
};

constexpr int ToInt(Result r) { return static_cast<int>(r); }

// Short English description of a result, for logs and the command line's
// summary; the per-file message boxes use the conversion thread's own texts.
const char* ResultName(Result r);

}  // namespace tonvelo
