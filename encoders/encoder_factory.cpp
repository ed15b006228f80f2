#include "encoders/encoder_factory.h"

#include <new>

#include "encoders/lx/mid2lx.h"
#include "encoders/mid2disklavier.h"
#include "encoders/mid2midiman.h"
#include "encoders/mid2pianodisc.h"
#include "encoders/pianocorder/mid2cassette_converter.h"
#include "encoders/pianocorder/mid2pianocorder.h"

namespace tonvelo {

std::unique_ptr<CTonveloFormat> CreateEncoder(int formatId, const EncoderOptions& options) {
  switch (formatId) {
    case 0:
    case 1:
    case 6:
    case 9: {
      auto lx = std::make_unique<CMid2LX>();
      lx->SetSustainTimingOffset(options.sustainTimingOffset);
      lx->SetSynthPropPedaling(options.synthPropPedaling);
      lx->SetWriteBitFile(options.discardOutput);
      lx->SetMode(formatId == 1   ? LX_MODE_SE_TAPE
                  : formatId == 6 ? LX_MODE_PIANOMATION1
                                  : LX_MODE_LX);
      if (options.scramblerSeed) lx->SetScramblerSeed(*options.scramblerSeed);
      return lx;
    }
    case 2:
    case 3: {
      // Half speed is the writer's frame doubling; the encoder is the same.
      auto pianocorder = std::make_unique<CMid2Pianocorder>();
      pianocorder->SetUnitRate(kPianocorderUnitRate);
      pianocorder->SetSourceFile(options.pianocorderFile);
      return pianocorder;
    }
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
    case 10:
    case 11: {
      auto cassette = std::make_unique<CMid2CassetteConverter>();
      cassette->SetVariant(formatId == 11 ? kCassetteAmpicoB : kCassetteAmpicoA);
      return cassette;
    }
    default:
      return nullptr;
  }
}

}  // namespace tonvelo
