#include "lcds/net/socket_wait.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>

namespace Voro {

bool WaitSocketReadable(int fd, int timeout_ms, int wake_fd) {
  if (fd < 0) {
    return false;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  const nfds_t count = wake_fd >= 0 ? 2 : 1;
  int wait_ms = timeout_ms < 0 ? 0 : timeout_ms;
  for (;;) {
    const int ready = poll(fds, count, wait_ms);
    if (ready > 0) {
      // A hang-up or error is "readable" too: the read then reports it at once.
      return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    if (ready == 0 || errno != EINTR) {
      return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    wait_ms = static_cast<int>(left);
  }
}

void SetSocketTimeouts(int fd, int timeout_ms) {
  timeval limit{};
  limit.tv_sec = timeout_ms / 1000;
  limit.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

}  // namespace Voro
