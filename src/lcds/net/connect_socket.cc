#include "lcds/net/connect_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag/format_positional.h"

namespace Voro {
namespace {

SocketResult Failed(int code, std::string message) {
  SocketResult result;
  result.error = TransportResult::Failure(code, std::move(message), 0);
  return result;
}

int ResolveErrorCode(int gai_error) {
  switch (gai_error) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return kHostNotFoundCode;
    default:
      return gai_error;
  }
}

// connect() interrupted by a signal goes on in the background; wait for its outcome.
int FinishInterruptedConnect(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  for (;;) {
    const int ready = poll(&entry, 1, -1);
    if (ready > 0) {
      break;
    }
    if (ready < 0 && errno != EINTR) {
      return errno;
    }
  }
  int error = 0;
  socklen_t length = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return errno;
  }
  return error;
}

}  // namespace

SocketResult ConnectSocket(const std::string& host, uint16_t port) {
  const std::string service = std::to_string(port);
  addrinfo* list = nullptr;
  const int gai_error = getaddrinfo(host.c_str(), service.c_str(), nullptr, &list);
  if (gai_error != 0) {
    return Failed(ResolveErrorCode(gai_error), FormatPositional(kResolveFailedMessage, host, port));
  }
  sockaddr_in address{};
  bool found = false;
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(address)) {
      std::memcpy(&address, entry->ai_addr, sizeof(address));
      found = true;
      break;
    }
  }
  freeaddrinfo(list);
  if (!found) {
    return Failed(kHostNotFoundCode, FormatPositional(kResolveFailedMessage, host, port));
  }

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    const int error = errno;
    return Failed(error, kCreateSocketFailedMessage);
  }
  // RTMP sends many small messages that should leave at once.
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));

  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    error = errno == EINTR ? FinishInterruptedConnect(fd) : errno;
  }
  if (error != 0) {
    close(fd);
    return Failed(error, kConnectFailedMessage);
  }
  SocketResult result;
  result.fd = fd;
  return result;
}

}  // namespace Voro
