#include "binding/router/http_method.h"

#include <array>

namespace Voro {

std::string_view HttpMethodName(uint32_t code) {
  static constexpr std::array<std::string_view, 7> kNames = {"DELETE", "GET",  "HEAD", "OPTIONS",
                                                             "PATCH",  "POST", "PUT"};
  return code >= 1 && code <= kNames.size() ? kNames[code - 1] : std::string_view();
}

}  // namespace Voro
