#include "readers/pianocorder_source.h"

namespace tonvelo {

PianocorderSource LoadPianocorderSource(const std::filesystem::path& path) {
  (void)path;
  return nullptr;
}

}  // namespace tonvelo
