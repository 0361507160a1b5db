// What an observer received, printed one JSON line per event for `kivhost events` and
// `kivhost call ... --events-for`: the plugin thread queues, the main thread prints.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "host/substitute_host.h"

namespace kivhost {

// {"event":NAME,"payload":PAYLOAD} with the payload as the host logged it (compact JSON).
std::string EventJsonLine(const EventRecord& record);

class EventWatch {
 public:
  // The observer's callback; any thread.
  void Push(const EventRecord& record);
  // Prints each queued event and each one that arrives, a line each, until `seconds` pass
  // (nullopt: until SIGINT or SIGTERM, once HandleInterrupts was called). Returns how many.
  size_t PrintFor(std::optional<double> seconds, std::FILE* out);
  // Prints what is queued now; returns how many.
  size_t PrintQueued(std::FILE* out);
  // Makes the next SIGINT or SIGTERM end PrintFor; a second one has its usual effect.
  static void HandleInterrupts();
  // Whether SIGINT or SIGTERM came since HandleInterrupts.
  static bool Interrupted();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> lines_;  // Guarded by mutex_.
};

}  // namespace kivhost
