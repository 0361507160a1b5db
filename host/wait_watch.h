// Shows the plugin's open waits: on request (SIGUSR1, or Print) and when a wait stays open
// longer than a time-out, so that a stuck wait can be seen while it is stuck.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "host/substitute_host.h"

namespace kivhost {

class WaitWatch {
 public:
  // `timeout_seconds` 0 reports only on request. `out` and `host` must outlive the watch.
  WaitWatch(const SubstituteHost* host, double timeout_seconds, std::FILE* out);
  ~WaitWatch();
  WaitWatch(const WaitWatch&) = delete;
  WaitWatch& operator=(const WaitWatch&) = delete;

  // Prints the wait stack now, innermost last, with how long each wait has been open.
  void Print(const char* reason);
  // Makes SIGUSR1 ask the watch (the most recent one) to print the stack.
  void HandleSigusr1();

 private:
  void Run();

  const SubstituteHost* host_;
  const double timeout_seconds_;
  std::FILE* out_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // Guarded by mutex_.
  // Waits already reported for the time-out, by label and start; watcher thread only.
  std::set<std::pair<std::string, int64_t>> reported_;
  std::thread thread_;
};

}  // namespace kivhost
