#include "sim/delayed_runner.h"

#include <utility>

namespace Voro::Sim {

DelayedRunner::DelayedRunner() : thread_([this] { Loop(); }) {}

DelayedRunner::~DelayedRunner() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void DelayedRunner::After(std::chrono::milliseconds delay, std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    due_.emplace(std::chrono::steady_clock::now() + delay, std::move(work));
  }
  changed_.notify_all();
}

void DelayedRunner::Loop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (due_.empty()) {
      changed_.wait(lock);
      continue;
    }
    const auto next = due_.begin()->first;
    if (std::chrono::steady_clock::now() < next) {
      changed_.wait_until(lock, next);
      continue;
    }
    std::function<void()> work = std::move(due_.begin()->second);
    due_.erase(due_.begin());
    // Work may schedule more work.
    lock.unlock();
    work();
    lock.lock();
  }
}

}  // namespace Voro::Sim
