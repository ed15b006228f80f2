#pragma once
// The versions of the libraries that encode and decode audio, as linked: what
// a bug report about a track's bytes needs besides Tonvelo's own version.

#include <string>

namespace tonvelo {

// "LAME 3.100, libFLAC 1.4.2"
std::string audio_library_versions();

}  // namespace tonvelo
