// Runs work later on one thread of its own: the simulator's delayed answers and pushes.
// Work still waiting when the runner is destroyed is dropped, not run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace Voro::Sim {

class DelayedRunner {
 public:
  DelayedRunner();
  ~DelayedRunner();
  DelayedRunner(const DelayedRunner&) = delete;
  DelayedRunner& operator=(const DelayedRunner&) = delete;

  // Runs `work` once `delay` has passed. Work due at the same time runs in the order given.
  // Any thread, including the runner's own.
  void After(std::chrono::milliseconds delay, std::function<void()> work);

 private:
  void Loop();

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;  // Guarded by mutex_.
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>>
      due_;  // Guarded by mutex_.
  std::thread thread_;
};

}  // namespace Voro::Sim
