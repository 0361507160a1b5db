// Resolving a host name and connecting a TCP socket to it (IPv4 only).
#pragma once

#include <cstdint>
#include <string>

#include "lcds/net/transport.h"

namespace Voro {

// Error code of a host that has no IPv4 address (the platform's "host not found").
inline constexpr int kHostNotFoundCode = 11001;

inline constexpr char kResolveFailedMessage[] = "Failed to resolve the endpoint %1:%2";
inline constexpr char kCreateSocketFailedMessage[] = "Failed to create a socket";
inline constexpr char kConnectFailedMessage[] = "Failed to connect with socket";

// A connected socket, or why there is none.
struct [[nodiscard]] SocketResult {
  int fd = -1;            // owned by the caller on success
  TransportResult error;  // failed exactly when fd < 0

  bool ok() const { return fd >= 0; }
};

// Resolves `host` with getaddrinfo (the port in decimal, no hints), takes the first IPv4
// address and connects a blocking TCP socket (close-on-exec, Nagle off) to it. Failures:
// no IPv4 address -> kResolveFailedMessage with kHostNotFoundCode (getaddrinfo's own
// "no such host" answers map to that code too; its other errors keep their EAI_ code);
// socket() -> kCreateSocketFailedMessage with errno; connect -> kConnectFailedMessage with
// errno, the socket closed. Blocks for as long as the connect takes. Any thread.
SocketResult ConnectSocket(const std::string& host, uint16_t port);

}  // namespace Voro
