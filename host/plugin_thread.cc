#include "host/plugin_thread.h"

#include <future>
#include <vector>

namespace kivhost {

PluginThread::PluginThread() : thread_([this] { Loop(); }) {}

PluginThread::~PluginThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void PluginThread::Invoke(const std::function<void()>& fn) {
  if (OnPluginThread()) {
    fn();
    return;
  }
  std::promise<void> done;
  Schedule(
      "kivhost.invoke",
      [&] {
        fn();
        done.set_value();
      },
      0);
  done.get_future().wait();
}

void PluginThread::Schedule(std::string label, std::function<void()> fn, double delay_seconds) {
  auto delay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(delay_seconds > 0 ? delay_seconds : 0));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.emplace(Key{Clock::now() + delay, next_sequence_++},
                   Task{std::move(label), std::move(fn)});
  }
  wake_.notify_all();
}

size_t PluginThread::RunDueOnce(std::chrono::milliseconds max_wait) {
  // Only what is due at this moment runs: callbacks queued while these run wait for the
  // next round, so a callback that reschedules itself cannot starve the loop.
  Key horizon;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    auto deadline = Clock::now() + max_wait;
    for (;;) {
      auto now = Clock::now();
      if (!tasks_.empty() && tasks_.begin()->first.first <= now) {
        horizon = Key{now, next_sequence_};
        break;
      }
      if (stopping_ || now >= deadline) return 0;
      auto until = deadline;
      if (!tasks_.empty() && tasks_.begin()->first.first < until) {
        until = tasks_.begin()->first.first;
      }
      wake_.wait_until(lock, until);
    }
  }
  // One at a time, each taken off the queue just before it runs: a callback that waits
  // and pumps (a nested round) can run the others that are due, instead of finding them
  // held here until it returns.
  size_t ran = 0;
  for (;;) {
    Task task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (tasks_.empty()) break;
      const Key& key = tasks_.begin()->first;
      if (key.first > horizon.first || key.second >= horizon.second) break;
      task = std::move(tasks_.begin()->second);
      tasks_.erase(tasks_.begin());
    }
    task.fn();
    ++ran;
  }
  return ran;
}

size_t PluginThread::DropPending() {
  std::map<Key, Task> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(tasks_);
  }
  return dropped.size();  // destroyed outside the lock: a callable may own anything
}

size_t PluginThread::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

void PluginThread::Loop() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    RunDueOnce(std::chrono::milliseconds(100));
  }
}

}  // namespace kivhost
