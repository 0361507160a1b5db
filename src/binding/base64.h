// Standard Base64 (RFC 4648 alphabet "A-Z a-z 0-9 + /") with "=" padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Voro {

std::string Base64Encode(const uint8_t* data, size_t size);

}  // namespace Voro
