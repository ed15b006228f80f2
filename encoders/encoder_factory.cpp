#include "encoders/encoder_factory.h"

#include <new>

namespace tonvelo {

std::unique_ptr<CTonveloFormat> CreateEncoder(int formatId, const EncoderOptions& options) {
  (void)options;
  switch (formatId) {
    default:
      return nullptr;
  }
}

}  // namespace tonvelo
