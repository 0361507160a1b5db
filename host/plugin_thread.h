// The host's thread for one plugin: an event loop that runs scheduled callbacks and every
// call into the plugin, one at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace kivhost {

class PluginThread {
 public:
  using Clock = std::chrono::steady_clock;

  PluginThread();
  // Stops the loop; callbacks still queued are dropped.
  ~PluginThread();
  PluginThread(const PluginThread&) = delete;
  PluginThread& operator=(const PluginThread&) = delete;

  // Runs `fn` on the plugin thread and returns when it has run. Called on the plugin
  // thread itself, it runs at once.
  void Invoke(const std::function<void()>& fn);

  // Queues `fn` to run on the plugin thread once `delay_seconds` have passed. Any thread.
  void Schedule(std::string label, std::function<void()> fn, double delay_seconds);

  // Runs every callback that is due now, in due order; when none is due, waits at most
  // `max_wait` for one. Plugin thread only. Returns the number run.
  size_t RunDueOnce(std::chrono::milliseconds max_wait);

  // Drops every queued callback; returns how many. Any thread.
  size_t DropPending();

  bool OnPluginThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  size_t pending() const;

 private:
  struct Task {
    std::string label;
    std::function<void()> fn;
  };
  using Key = std::pair<Clock::time_point, uint64_t>;  // due time, then queue order

  void Loop();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, Task> tasks_;   // Guarded by mutex_.
  uint64_t next_sequence_ = 0;  // Guarded by mutex_.
  bool stopping_ = false;       // Guarded by mutex_.
  std::thread thread_;          // last: starts once everything above exists
};

}  // namespace kivhost
