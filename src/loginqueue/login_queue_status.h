// The queue status other plugins see while a login waits in the login queue, one of the
// login API's records ("Voro", "Client", "Api"); the login registers it with the others.
#pragma once

#include <cstdint>
#include <optional>

namespace Voro::Client::Api {

struct LoginQueue {
  uint64_t estimatedPositionInQueue = 0;
  bool isPositionCapped = false;
  std::optional<uint64_t> approximateWaitTimeSeconds;
};

}  // namespace Voro::Client::Api
