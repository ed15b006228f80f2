#include "encoders/encoder_factory.h"

#include <new>

#include "encoders/mid2disklavier.h"

namespace tonvelo {

std::unique_ptr<CTonveloFormat> CreateEncoder(int formatId, const EncoderOptions& options) {
  (void)options;
  switch (formatId) {
    case 8:
      return std::make_unique<CMid2Disklavier>();
    default:
      return nullptr;
  }
}

}  // namespace tonvelo
