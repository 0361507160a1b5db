#include "plugin/endpoint_errors.h"

namespace Voro {

EndpointError NotFound(std::string_view message) {
  return {404, message.empty() ? std::string("Not found") : std::string(message)};
}

EndpointError InternalServerError(std::string_view message) {
  return {500, message.empty() ? std::string("Internal server error") : std::string(message)};
}

}  // namespace Voro
