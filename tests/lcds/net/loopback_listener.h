// A listening TCP socket on 127.0.0.1 with a port of the kernel's choice, for tests that
// connect to themselves.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace Voro::testing {

class LoopbackListener {
 public:
  // With listen = false the port is bound but refuses connections.
  explicit LoopbackListener(bool listen_for_connections = true) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (listen_for_connections && listen(fd_, 8) != 0) ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackListener() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // 0 when the listener could not be set up.
  uint16_t port() const { return port_; }

  // The next connection, waiting up to 10 s; -1 when none came.
  int Accept() {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, 10000) != 1) {
      return -1;
    }
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace Voro::testing
