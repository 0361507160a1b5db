#include "lcds/net/loopback_tls_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace Voro::testing {

LoopbackTlsServer::~LoopbackTlsServer() {
  Join();
  if (listen_fd_ >= 0) {
    close(listen_fd_);
  }
  SSL_CTX_free(context_);
}

bool LoopbackTlsServer::Start(const std::string& cert, const std::string& key, Session session,
                              std::string* why) {
  context_ = SSL_CTX_new(TLS_server_method());
  if (context_ == nullptr || SSL_CTX_use_certificate_chain_file(context_, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    *why = "cannot set up the server context for " + cert;
    ERR_clear_error();
    return false;
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listen_fd_, 4) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *why = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this, session = std::move(session)] { Run(session); });
  return true;
}

void LoopbackTlsServer::Join() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

void LoopbackTlsServer::Run(const Session& session) {
  // The server writes to clients that may have gone; that must not end the test process.
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &block, nullptr);

  pollfd entry{listen_fd_, POLLIN, 0};
  if (poll(&entry, 1, 10000) != 1) {
    return;  // no client came
  }
  const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  SSL* ssl = SSL_new(context_);
  SSL_set_fd(ssl, fd);
  handshake_ok_ = SSL_accept(ssl) == 1;
  bool closed = false;
  if (handshake_ok_) {
    session(ssl, fd, &closed);
  }
  if (!closed) {
    SSL_free(ssl);
    close(fd);
  }
  ERR_clear_error();
}

bool ServerWrite(SSL* ssl, const void* bytes, size_t count) {
  const auto* cursor = static_cast<const uint8_t*>(bytes);
  while (count > 0) {
    const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    const int written = SSL_write(ssl, cursor, chunk);
    if (written <= 0) {
      return false;
    }
    cursor += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

bool ServerRead(SSL* ssl, void* buffer, size_t count) {
  auto* cursor = static_cast<uint8_t*>(buffer);
  while (count > 0) {
    const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
    const int received = SSL_read(ssl, cursor, chunk);
    if (received <= 0) {
      return false;
    }
    cursor += received;
    count -= static_cast<size_t>(received);
  }
  return true;
}

}  // namespace Voro::testing
