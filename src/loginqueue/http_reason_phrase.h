// The reason phrase of an HTTP status code, for failure texts that name a response.
#pragma once

#include <cstdint>
#include <string_view>

namespace Voro {

// The standard phrase ("Not Found" for 404); "Unknown" for codes without one.
std::string_view HttpReasonPhrase(int32_t status_code);

}  // namespace Voro
