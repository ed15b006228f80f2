#include "encoders/encoder_factory.h"

#include <new>

#include "encoders/mid2disklavier.h"
#include "encoders/mid2midiman.h"
#include "encoders/mid2pianodisc.h"

namespace tonvelo {

std::unique_ptr<CTonveloFormat> CreateEncoder(int formatId, const EncoderOptions& options) {
  (void)options;
  switch (formatId) {
    case 4:
    case 5: {
      auto pianoDisc = std::make_unique<CMid2PianoDisc>();
      pianoDisc->SetVariant(formatId == 4 ? kPianoDiscSilentDrivePlus : kPianoDiscClassic);
      return pianoDisc;
    }
    case 7:
      return std::make_unique<CMid2MIDIMan>();
    case 8:
      return std::make_unique<CMid2Disklavier>();
    default:
      return nullptr;
  }
}

}  // namespace tonvelo
