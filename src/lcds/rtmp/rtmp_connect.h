// Opening an RTMP connection: socket, transport (plain or TLS), handshake.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "lcds/net/transport.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_connection.h"

namespace Voro {

// The handshake may take this long before the attempt fails; a server that accepts and
// then stays silent must not hold the caller forever.
inline constexpr int kRtmpHandshakeTimeoutMs = 30'000;
inline constexpr char kTlsSetupFailedMessage[] = "Failed to set up TLS";

struct [[nodiscard]] RtmpConnectResult {
  std::unique_ptr<RtmpConnection> connection;  // not started; set exactly on success
  TransportResult error;
  bool ok() const { return connection != nullptr; }
};

// Connects to host:port, wraps the socket in TLS (verified against `trusted`, for the host
// name `host`) when `use_tls`, and performs the client handshake. On failure everything is
// released and `error` carries the transport's or the handshake's message. Blocks; any thread.
RtmpConnectResult ConnectRtmp(const std::string& host, uint16_t port, bool use_tls,
                              const TrustedCertificates& trusted,
                              RtmpConnectionOptions options = {});

}  // namespace Voro
