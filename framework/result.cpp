#include "framework/result.h"

#include <array>

namespace tonvelo {

namespace {
struct ResultText {
  Result code;
  const char* text;
};
constexpr std::array<ResultText, 7> kResultTexts{{
    {Result::kSuccess, "success"},
    {Result::kEndOfEvents, "end of events"},
    {Result::kCancelled, "cancelled"},
    {Result::kSourceDamaged, "source damaged"},
    {Result::kWriteError, "output write error"},
    {Result::kOutOfMemory, "out of memory"},
    {Result::kDataFormatError, "data formatting error"},
}};
}  // namespace

const char* ResultName(Result r) {
  for (const auto& row : kResultTexts) {
    if (row.code == r) return row.text;
  }
  return "unknown error";
}

}  // namespace tonvelo
