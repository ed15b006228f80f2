#pragma once
// The symbol modulator: turns bits, or the three-valued symbols 0, 1, 2, into
// 16-bit samples at an exact average symbol rate.
//
// The waveform of one unit-length symbol is a table covering exactly one unit
// with N = sampleRate / g points (g = gcd(sampleRate, unitRate)); the output
// walks it with an integer step of unitRate / g points per sample. The part of
// a step that overshoots a symbol is carried into the next one, so symbol
// timing is exact on average at any pair of rates.
//
// Plain functions on a heap record (malloc/free), so every encoder can
// keep one continuous signal in a single object; failures are a null record or
// -1, never an exception.

#include <cstdint>
#include <memory>

namespace tonvelo {

// Output layouts. Any other value writes nothing but still advances time.
enum : uint32_t {
  LAYOUT_MONO = 0,   // one value per sample
  LAYOUT_LEFT = 1,   // data, then 0
  LAYOUT_RIGHT = 2,  // 0, then data
};

// Waveform kinds.
enum : uint32_t {
  MOD_PULSE_SINE = 0,       // 0: pulse of alternating sign, 1: sine cycle keeping the sign
  MOD_PULSE_SINE_PREV = 1,  // sign and shape chosen from the previous symbol
  MOD_PULSE_SINE_WIDE = 2,  // as MOD_PULSE_SINE, plus 2: a two-unit pulse
  MOD_SQUARE = 3,           // half-cycles of 1 unit (0), 1/2 unit (1), 2 units (2)
};

enum : uint32_t {
  SYMMOD_LSB_FIRST = 0,
  SYMMOD_MSB_FIRST = 1,
};

struct SymbolModulator {
  uint32_t layout;
  uint32_t kind;
  uint32_t bitOrder;
  uint32_t sampleRate;
  uint32_t tableLength;      // N: table points per unit
  uint32_t symbolLength[3];  // in table points
  uint32_t step;             // table points per output sample
  uint32_t phase;            // table position of the next output sample
  uint8_t prevSymbol;
  int16_t polarity;  // +1 or -1
  int16_t amplitude;
  int16_t* table[2];  // [0] pulse, [1] sine; N entries each
};

// Greatest common divisor by the binary (Stein) method; gcd(a, 0) = a.
uint32_t gcd_binary(uint32_t a, uint32_t b);

// Null when memory runs out or the unit rate is 0.
SymbolModulator* symmod_create(uint32_t sampleRate, uint32_t unitRate, int16_t amplitude,
                               uint32_t kind, uint32_t layout, uint32_t bitOrder);

// Changes the symbol rate between two symbols, keeping the signal continuous:
// the carried phase is rescaled, polarity and previous symbol are kept.
// 0 on success; -1 for a null record, a unit rate of 0 or no memory (the
// record is then unchanged if the tables could not be grown).
int symmod_set_unit_rate(SymbolModulator* m, uint32_t unitRate);

// Emits one symbol; returns the number of int16 values written at out.
// Symbols above 2 are ignored. Kinds 0 and 1 have no symbol 2 of their own
// and render it as two units of silence.
uint32_t symmod_put_symbol(SymbolModulator* m, uint8_t symbol, int16_t* out);

// Emits 8 symbols per byte in the record's bit order, no framing bits.
uint32_t symmod_put_bytes(SymbolModulator* m, const uint8_t* bytes, uint32_t count, int16_t* out);

void symmod_destroy(SymbolModulator* m);

// Worst-case number of samples (time steps) one symbol can take:
// ceil(symbolLength / step). 0 for a null record or an unknown symbol.
uint32_t symmod_max_symbol_samples(const SymbolModulator* m, uint8_t symbol);

// Buffer sizes, in int16 values, that are always enough for one
// symmod_put_symbol call of `symbol`, or one symmod_put_bytes call of `count`
// bytes, whatever phase is carried in.
uint32_t symmod_symbol_output_size(const SymbolModulator* m, uint8_t symbol);
uint32_t symmod_bytes_output_size(const SymbolModulator* m, uint32_t count);

struct SymbolModulatorDeleter {
  void operator()(SymbolModulator* m) const { symmod_destroy(m); }
};
using SymbolModulatorPtr = std::unique_ptr<SymbolModulator, SymbolModulatorDeleter>;

}  // namespace tonvelo
