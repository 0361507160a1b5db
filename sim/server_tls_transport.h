// The server side of TLS for the simulator: one context with a certificate chain and key,
// and a Transport for each accepted socket.
#pragma once

#include <openssl/ossl_typ.h>

#include <memory>
#include <string>

#include "common/result.h"
#include "lcds/net/transport.h"

namespace Voro::Sim {

class ServerTlsContext {
 public:
  // Loads the PEM chain and key; fails when either cannot be used.
  [[nodiscard]] static kiv::Result<std::unique_ptr<ServerTlsContext>> Create(
      const std::string& certificate_file, const std::string& key_file);
  ~ServerTlsContext();
  ServerTlsContext(const ServerTlsContext&) = delete;
  ServerTlsContext& operator=(const ServerTlsContext&) = delete;

  // Runs the TLS handshake on the accepted socket `fd` (taken over in every case); null when
  // it fails. Blocks; any thread.
  TransportPtr Accept(int fd);

 private:
  explicit ServerTlsContext(SSL_CTX* context) : context_(context) {}
  SSL_CTX* context_;
};

}  // namespace Voro::Sim
