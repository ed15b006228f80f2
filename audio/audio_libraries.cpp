#include "audio/audio_libraries.h"

#include <FLAC/format.h>
#include <lame/lame.h>

namespace tonvelo {

std::string audio_library_versions() {
  // Both are asked at run time: the shared libraries in use may be newer
  // than the headers this was built with.
  return std::string("LAME ") + get_lame_version() + ", libFLAC " + FLAC__VERSION_STRING;
}

}  // namespace tonvelo
