// Keeping SIGPIPE from ending the process while OpenSSL writes to a socket.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace Voro {

// OpenSSL writes to the socket with plain write calls, so a peer that has gone would raise
// SIGPIPE and end the process. For the length of one OpenSSL call the signal is blocked on
// this thread; one it raised is then taken off the pending set before the mask comes back.
// A SIGPIPE that was already pending before is left alone.
class ScopedSigpipeBlock {
 public:
  ScopedSigpipeBlock() {
    sigset_t pending;
    sigemptyset(&pending);
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &previous_);
  }

  ~ScopedSigpipeBlock() {
    const int saved_errno = errno;
    if (!was_pending_) {
      sigset_t pending;
      sigemptyset(&pending);
      if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, SIGPIPE);
        const timespec no_wait{0, 0};
        while (sigtimedwait(&only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    errno = saved_errno;
  }

  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;

 private:
  sigset_t previous_;
  bool was_pending_ = false;
};

}  // namespace Voro
