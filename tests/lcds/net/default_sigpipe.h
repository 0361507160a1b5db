// For tests that write to a peer that has gone: SIGPIPE at its default action (ending the
// process) for the test's duration, so a write that raises it fails the test loudly.
#pragma once

#include <signal.h>

namespace Voro::testing {

class DefaultSigpipe {
 public:
  DefaultSigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, &previous_);
  }
  ~DefaultSigpipe() { sigaction(SIGPIPE, &previous_, nullptr); }
  DefaultSigpipe(const DefaultSigpipe&) = delete;
  DefaultSigpipe& operator=(const DefaultSigpipe&) = delete;

  // Neither left pending nor left blocked on this thread.
  static bool Clean() {
    sigset_t pending;
    sigset_t mask;
    sigemptyset(&pending);
    sigemptyset(&mask);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 0 &&
           pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, SIGPIPE) == 0;
  }

 private:
  struct sigaction previous_ {};
};

}  // namespace Voro::testing
