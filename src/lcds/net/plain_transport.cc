#include "lcds/net/plain_transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "diag/assertion.h"
#include "diag/system_error.h"
#include "lcds/net/socket_wait.h"

namespace Voro {
namespace {

TransportResult SystemFailure(int code, size_t done) {
  return TransportResult::Failure(code, SystemErrorText(code), done);
}

}  // namespace

PlainTransport::~PlainTransport() { Close(); }

TransportResult PlainTransport::Write(const uint8_t* bytes, size_t count) {
  if (fd_ < 0) {
    return SystemFailure(EBADF, 0);
  }
  size_t done = 0;
  while (done < count) {
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE here instead of killing the process.
    const ssize_t sent = send(fd_, bytes + done, count - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return SystemFailure(errno, done);
    }
    done += static_cast<size_t>(sent);
  }
  return TransportResult::Success(done);
}

size_t PlainTransport::TryWrite(const uint8_t* bytes, size_t count) {
  size_t done = 0;
  while (fd_ >= 0 && done < count) {
    const ssize_t sent = send(fd_, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    done += static_cast<size_t>(sent);
  }
  return done;
}

TransportResult PlainTransport::Read(uint8_t* buffer, size_t count) {
  if (fd_ < 0) {
    return SystemFailure(EBADF, 0);
  }
  if (count == 0) {
    ReportAssertion(kPlainZeroReadCode, nullptr, "", 0, "");
    return TransportResult::Failure(0, kPlainZeroReadMessage, 0);
  }
  size_t done = 0;
  while (done < count) {
    const ssize_t received = recv(fd_, buffer + done, count - done, 0);
    if (received == 0) {
      return TransportResult::Failure(0, kPeerClosedMessage, done);
    }
    if (received < 0) {
      if (errno == EINTR) {
        continue;
      }
      return SystemFailure(errno, done);
    }
    done += static_cast<size_t>(received);
  }
  return TransportResult::Success(done);
}

TransportResult PlainTransport::ReadSome(uint8_t* buffer, size_t capacity) {
  if (fd_ < 0) {
    return SystemFailure(EBADF, 0);
  }
  if (capacity == 0) {
    ReportAssertion(kPlainZeroReadCode, nullptr, "", 0, "");
    return TransportResult::Failure(0, kPlainZeroReadMessage, 0);
  }
  for (;;) {
    const ssize_t received = recv(fd_, buffer, capacity, 0);
    if (received == 0) {
      return TransportResult::Failure(0, kPeerClosedMessage, 0);
    }
    if (received > 0) {
      return TransportResult::Success(static_cast<size_t>(received));
    }
    if (errno != EINTR) {
      return SystemFailure(errno, 0);
    }
  }
}

bool PlainTransport::WaitReadable(int timeout_ms) {
  return WaitSocketReadable(fd_, timeout_ms, -1);
}

bool PlainTransport::WaitReadableOrWoken(int timeout_ms, int wake_fd) {
  return WaitSocketReadable(fd_, timeout_ms, wake_fd);
}

void PlainTransport::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

TransportPtr CreatePlainTransport(int fd) { return std::make_unique<PlainTransport>(fd); }

}  // namespace Voro
