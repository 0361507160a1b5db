// The console page (host/console/index.html), built into kivhost so that it is served
// without files beside the program.
#pragma once

#include <cstddef>

namespace kivhost {

extern const char kConsolePage[];
extern const size_t kConsolePageSize;

}  // namespace kivhost
