#include "lcds/rtmp/rtmp_connect.h"

#include <utility>

#include "lcds/net/connect_socket.h"
#include "lcds/net/plain_transport.h"
#include "lcds/net/socket_wait.h"
#include "lcds/net/tls_transport.h"
#include "lcds/rtmp/handshake.h"

namespace Voro {

RtmpConnectResult ConnectRtmp(const std::string& host, uint16_t port, bool use_tls,
                              const TrustedCertificates& trusted, RtmpConnectionOptions options) {
  RtmpConnectResult result;
  SocketResult socket = ConnectSocket(host, port);
  if (!socket.ok()) {
    result.error = std::move(socket.error);
    return result;
  }
  const int fd = socket.fd;
  SetSocketTimeouts(fd, kRtmpHandshakeTimeoutMs);
  TransportPtr transport =
      use_tls ? CreateTlsTransport(fd, trusted, host) : CreatePlainTransport(fd);
  if (!transport) {
    result.error = TransportResult::Failure(0, kTlsSetupFailedMessage, 0);
    return result;
  }
  if (TransportResult handshake = ClientHandshake(*transport); !handshake.ok()) {
    transport->Close();
    result.error = std::move(handshake);
    return result;
  }
  // The worker polls before every read, so the socket needs no time-out from here on.
  SetSocketTimeouts(fd, 0);
  result.connection = std::make_unique<RtmpConnection>(std::move(transport), options);
  return result;
}

}  // namespace Voro
