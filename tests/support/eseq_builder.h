#pragma once
// Builds Yamaha ESEQ song files in memory for tests: the 39-byte header, an
// optional first block (the 80-byte layout carries a tempo code and the
// title) and the event bytes exactly as given.

#include <cstdint>
#include <initializer_list>
#include <string>

#include "tests/support/wav_builder.h"

namespace tonvelo::test {

class EseqBuilder {
 public:
  EseqBuilder& PartCount(uint8_t p) {
    partCount_ = p;
    return *this;
  }
  EseqBuilder& TempoCode(uint8_t code) {
    tempoCode_ = code;
    return *this;
  }
  // Any first block; only its length matters unless it is 80 bytes long.
  EseqBuilder& Block(const Bytes& block) {
    block_ = block;
    return *this;
  }
  // The 80-byte block: tempo code at byte 12, the title's two halves padded
  // with spaces to 16 bytes each at bytes 48..79.
  EseqBuilder& TitleBlock(uint8_t tempoCode, const std::string& first, const std::string& second) {
    block_.assign(80, 0);
    block_[12] = tempoCode;
    for (size_t i = 0; i < 16; ++i) {
      block_[48 + i] = i < first.size() ? static_cast<uint8_t>(first[i]) : ' ';
      block_[64 + i] = i < second.size() ? static_cast<uint8_t>(second[i]) : ' ';
    }
    return *this;
  }
  EseqBuilder& Events(std::initializer_list<uint8_t> bytes) {
    events_.insert(events_.end(), bytes);
    return *this;
  }
  EseqBuilder& Events(const Bytes& bytes) {
    events_.insert(events_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Bytes Build() const {
    Bytes out(7, 0);
    for (char c : std::string("COM-ESEQ")) out.push_back(static_cast<uint8_t>(c));
    out.resize(27, 0);
    PutLE(out, static_cast<uint32_t>(block_.size()), 4);
    PutLE(out, static_cast<uint32_t>(events_.size()), 4);
    out.insert(out.end(), {partCount_, tempoCode_, 0, 0});
    out.insert(out.end(), block_.begin(), block_.end());
    out.insert(out.end(), events_.begin(), events_.end());
    return out;
  }

 private:
  uint8_t partCount_ = 1;
  uint8_t tempoCode_ = 0;
  Bytes block_;
  Bytes events_;
};

}  // namespace tonvelo::test
