// The module's deferred work and its waits. The host runs everything on the plugin's
// thread: work asks the host to call back later (RunAt, SetTimer), and waiting code lets the
// host run the plugin's pending work meanwhile (Await, Sleep, Yield), announcing each wait
// with a label so that a stuck one can be seen.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "diag/format_positional.h"
#include "diag/thread_annotations.h"
#include "kiv/plugin_abi.h"

namespace Voro {

inline constexpr const char* kTimerLabel = "Timer: %1";
inline constexpr const char* kWaitFutureLabel = "Wait: future<%1>";
inline constexpr const char* kWaitSleepLabel = "Wait: sleep";
inline constexpr const char* kWaitYieldLabel = "Wait: yield";
inline constexpr const char* kFutureErrorCode = "ALE-6D828C10";
inline constexpr const char* kFutureErrorMessage =
    "Caught std::future_error in AppModule::Await: (%1) %2";

// The host services a scheduler uses; the module forwards them to the host's table.
class SchedulerHost {
 public:
  virtual ~SchedulerHost() = default;
  virtual void ScheduleCallback(const char* label, HostScheduledCallback callback, void* user_data,
                                double delay_seconds) = 0;
  virtual void Pump() = 0;
  virtual void BeginWait(const char* label) = 0;
  virtual void EndWait() = 0;
};

// The name a wait for a future of T shows.
std::string DemangledTypeName(const std::type_info& type);
template <typename T>
std::string WaitTypeName() {
  return DemangledTypeName(typeid(T));
}

// All operations run on the plugin's thread, except that the host may call back into a
// scheduled entry while module code schedules (the entry map is locked for that).
class ModuleScheduler {
 public:
  // `host` must outlive the scheduler.
  explicit ModuleScheduler(SchedulerHost* host) : host_(host) {}
  ModuleScheduler(const ModuleScheduler&) = delete;
  ModuleScheduler& operator=(const ModuleScheduler&) = delete;

  // Runs `callback` once, on the plugin's thread, at or after `deadline` (steady clock,
  // nanoseconds). A deadline in the past runs as soon as the host gets to it.
  void RunAt(const std::string& label, std::function<void()> callback, int64_t deadline);

  // Creates or restarts the periodic timer `name`: the callback runs every `interval`
  // seconds, measured from the start of one run to the start of the next. Restarting a
  // timer ends its earlier chain.
  void SetTimer(const std::string& name, double interval_seconds, std::function<void()> callback);
  // Ends the periodic timer `name`: a run already asked of the host does nothing.
  void CancelTimer(const std::string& name);

  // Returns the future's value, pumping the host's work meanwhile. A future without shared
  // state is reported ("ALE-6D828C10") and its std::future_error is thrown on; an exception
  // the future holds is thrown as well. The wait shows `type_name`, or T's C++ name when
  // it is empty.
  template <typename T>
  T Await(std::future<T>& future, std::string_view type_name = {});

  // Returns once `milliseconds` have passed on the steady clock, pumping meanwhile (at
  // least once).
  void Sleep(int64_t milliseconds);
  // Lets the host run the plugin's pending work once.
  void Yield();

  // Forgets every scheduled entry and timer (module shutdown). A callback the host still
  // delivers afterwards does not run; a timer firing logs that its timer is gone.
  void Clear();

  size_t scheduled_count() const;
  bool HasTimer(const std::string& name) const { return timers_.count(name) != 0; }
  // Removes the timer; a firing still scheduled finds it gone and logs so.
  void EraseTimer(const std::string& name) { timers_.erase(name); }

 private:
  struct Entry {
    ModuleScheduler* scheduler;
    uint64_t serial;
    std::function<void()> callback;
    bool timer_firing;
  };
  struct Timer {
    std::string name;
    int64_t deadline = 0;
    double interval = 0;
    uint64_t generation = 0;
  };

  void Schedule(const std::string& label, std::function<void()> callback, int64_t deadline,
                bool timer_firing);
  static void Trampoline(void* user_data);
  void Fire(const std::string& name, uint64_t generation, const std::function<void()>& callback);
  void ScheduleFiring(Timer& timer, std::function<void()> callback);
  static void ReportFutureError(const std::future_error& error);

  SchedulerHost* const host_;
  mutable std::mutex mutex_;
  // Scheduled entries by serial, from RunAt until their callback has run. Guarded by mutex_.
  std::map<uint64_t, std::unique_ptr<Entry>> entries_;
  uint64_t next_serial_ = 0;  // Guarded by mutex_.
  // Entries cleared while the host may still call back with them. Guarded by mutex_.
  std::vector<std::unique_ptr<Entry>> cleared_;
  // Plugin thread only.
  std::map<std::string, Timer> timers_;
};

template <typename T>
T ModuleScheduler::Await(std::future<T>& future, std::string_view type_name) {
  if (!future.valid()) {
    std::future_error error(std::future_errc::no_state);
    ReportFutureError(error);
    throw error;
  }
  bool waiting = false;
  while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    if (!waiting) {
      std::string label = FormatPositional(
          kWaitFutureLabel, type_name.empty() ? WaitTypeName<T>() : std::string(type_name));
      host_->BeginWait(label.c_str());
      waiting = true;
    }
    host_->Pump();
  }
  if (waiting) host_->EndWait();
  return future.get();
}

}  // namespace Voro
