// What the login queue client's authentication and its queue wait share.
#pragma once

#include <cstdint>

namespace Voro::LoginQueueConstants {

inline constexpr uint32_t kRequestTimeout = 10;  // seconds, as the host reads it
inline constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
inline constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
inline constexpr const char* kPrettyLayout = "pretty";
inline constexpr const char* kCanceledMessageId = "LOGIN_CANCELED";
inline constexpr const char* kCanceledText = "Login was canceled";
inline constexpr const char* kUnspecified = "UNSPECIFIED_ERROR";

}  // namespace Voro::LoginQueueConstants
