// The names an RTMP client goes by before and after the connect answer; the Flex layer
// above carries the same ones in its message headers.
#pragma once

namespace Voro {

inline constexpr char kRtmpEndpointName[] = "my-rtmp";
// The client id until the connect answer supplies one.
inline constexpr char kRtmpNoClientId[] = "nil";

}  // namespace Voro
