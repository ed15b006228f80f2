#include "pipeline/conversion_thread.h"

namespace tonvelo {

int CConversionThread::Run() { return 0; }

}  // namespace tonvelo
