#pragma once
// CConversionThread: converts one batch of music files, one after another, on
// its own thread. (Being filled in.)

namespace tonvelo {

class CConversionThread {
 public:
  int Run();
};

}  // namespace tonvelo
