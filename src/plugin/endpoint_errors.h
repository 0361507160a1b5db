// Error results that endpoint handlers return through the router.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Voro {

struct EndpointError {
  int32_t status = 0;
  std::string message;
};

// 404 with the message, or "Not found" when it is empty.
EndpointError NotFound(std::string_view message = {});
// 500 with the message, or "Internal server error" when it is empty.
EndpointError InternalServerError(std::string_view message = {});

}  // namespace Voro
