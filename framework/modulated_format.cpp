#include "framework/modulated_format.h"

#include <algorithm>
#include <new>

namespace tonvelo {

bool CModulatedFormat::StartModulator(uint32_t unitRate, int16_t amplitude, uint32_t kind,
                                      DataChannel channel) {
  SetDataChannel(channel);
  modulator_.reset(
      symmod_create(sampleRateHz_, unitRate, amplitude, kind, LAYOUT_MONO, SYMMOD_MSB_FIRST));
  if (!modulator_) return false;
  const SymbolModulator* m = modulator_.get();
  const uint32_t longest =
      std::max({symmod_symbol_output_size(m, 0), symmod_symbol_output_size(m, 1),
                symmod_symbol_output_size(m, 2)});
  buffer_.reset(new (std::nothrow) int16_t[kMaxBlockSymbols * longest]);
  return buffer_ != nullptr;
}

Result CModulatedFormat::EmitSymbols(const uint8_t* symbols, uint32_t count) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < count && i < kMaxBlockSymbols; ++i) {
    n += symmod_put_symbol(modulator_.get(), symbols[i], buffer_.get() + n);
  }
  return WriteData(buffer_.get(), n);
}

Result CModulatedFormat::EmitBytes(const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t n = symmod_put_bytes(modulator_.get(), bytes + i, 1, buffer_.get());
    const Result r = WriteData(buffer_.get(), n);
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CModulatedFormat::IdleUntil(uint32_t frames) {
  while (GetPosition() < frames) {
    // The tail can wait minutes for a long recording; keep cancel responsive.
    if (IsCancelled()) return Result::kCancelled;
    const Result r = Advance();
    if (r != Result::kSuccess) return r;
  }
  return Result::kSuccess;
}

Result CModulatedFormat::IdleThroughAccompaniment(uint32_t frames) {
  Result r = Result::kSuccess;
  while (r == Result::kSuccess && (GetPosition() < frames || !IsAccompanimentFinished())) {
    r = IsCancelled() ? Result::kCancelled : Advance();
  }
  return r;
}

Result CModulatedFormat::RunEvents() {
  MusicEvent ev;
  Result r = Result::kSuccess;
  while ((r = NextEvent(ev)) == Result::kSuccess) {
    if (ev.kind == kEventChannel) {
      r = SendEvent(ev.status, ev.data, ev.length);
    } else if (ev.kind == kEventSysEx && !IsYamahaPianoSysex(ev)) {
      r = SendSysEx(ev.status, ev.data, ev.length);
    }
    if (r != Result::kSuccess) return r;
  }
  return r == Result::kEndOfEvents ? Result::kSuccess : r;
}

}  // namespace tonvelo
