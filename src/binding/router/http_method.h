// HTTP method codes as they cross the host boundary (KIV_METHOD_* in plugin_abi.h).
#pragma once

#include <cstdint>
#include <string_view>

namespace Voro {

// "DELETE", "GET", "HEAD", "OPTIONS", "PATCH", "POST", "PUT" for codes 1 to 7; an empty
// text for any other code (a custom method's name travels separately).
std::string_view HttpMethodName(uint32_t code);

}  // namespace Voro
