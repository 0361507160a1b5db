// Fuzz targets whose inputs make the code log (refusals at ERROR, say) keep the logger off:
// printing every line would slow fuzzing to a crawl.
#pragma once

#include "diag/logger.h"

namespace fuzz_support {

// Turns the logger off once per process.
inline void QuietLogger() {
  static const bool quiet = [] {
    Voro::Logger::Acquire()->Disable();
    return true;
  }();
  (void)quiet;
}

}  // namespace fuzz_support
