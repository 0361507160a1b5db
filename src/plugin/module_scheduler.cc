#include "plugin/module_scheduler.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>

#include "diag/assertion.h"
#include "diag/clock.h"
#include "diag/format_positional.h"
#include "diag/log.h"

namespace Voro {

namespace {
constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
}  // namespace

std::string DemangledTypeName(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string text = status == 0 && name != nullptr ? name : type.name();
  std::free(name);
  return text;
}

void ModuleScheduler::RunAt(const std::string& label, std::function<void()> callback,
                            int64_t deadline) {
  Schedule(label, std::move(callback), deadline, false);
}

void ModuleScheduler::Schedule(const std::string& label, std::function<void()> callback,
                               int64_t deadline, bool timer_firing) {
  int64_t delay_ns = deadline - SteadyNowNanoseconds();
  double delay = delay_ns <= 0 ? 0.0 : static_cast<double>(delay_ns) / kNanosecondsPerSecond;
  Entry* entry = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t serial = next_serial_++;
    auto owned = std::make_unique<Entry>(Entry{this, serial, std::move(callback), timer_firing});
    entry = owned.get();
    entries_.emplace(serial, std::move(owned));
  }
  host_->ScheduleCallback(label.c_str(), &ModuleScheduler::Trampoline, entry, delay);
}

void ModuleScheduler::Trampoline(void* user_data) {
  auto* entry = static_cast<Entry*>(user_data);
  ModuleScheduler* self = entry->scheduler;
  const uint64_t serial = entry->serial;
  bool scheduled;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    auto it = self->entries_.find(serial);
    scheduled = it != self->entries_.end() && it->second.get() == entry;
  }
  // A cleared entry's callback does not run, except a timer firing, which then finds its
  // timer gone and says so.
  if (!scheduled && !entry->timer_firing) return;
  // Taken out of the entry: the callback may clear the scheduler.
  std::function<void()> callback = std::move(entry->callback);
  // The host calls this through a C function pointer: nothing may escape.
  try {
    if (callback) callback();
  } catch (const std::exception& e) {
    Log(kLevelError, Tag::DBG, "Scheduled callback failed: %s", e.what());
  } catch (...) {
    Log(kLevelError, Tag::DBG, "Scheduled callback failed");
  }
  std::unique_ptr<Entry> done;
  std::lock_guard<std::mutex> lock(self->mutex_);
  auto it = self->entries_.find(serial);
  if (it != self->entries_.end() && it->second.get() == entry) {
    done = std::move(it->second);
    self->entries_.erase(it);
  }
}

void ModuleScheduler::SetTimer(const std::string& name, double interval_seconds,
                               std::function<void()> callback) {
  Timer& timer = timers_[name];
  timer.name = name;
  timer.interval = interval_seconds;
  timer.deadline =
      SteadyNowNanoseconds() +
      static_cast<int64_t>(interval_seconds * static_cast<double>(kNanosecondsPerSecond));
  ++timer.generation;
  ScheduleFiring(timer, std::move(callback));
}

void ModuleScheduler::CancelTimer(const std::string& name) {
  // Kept with a new generation, so that the firing already queued ends quietly.
  if (auto it = timers_.find(name); it != timers_.end()) ++it->second.generation;
}

void ModuleScheduler::ScheduleFiring(Timer& timer, std::function<void()> callback) {
  std::string name = timer.name;
  uint64_t generation = timer.generation;
  auto firing = [this, name, generation, callback = std::move(callback)] {
    Fire(name, generation, callback);
  };
  Schedule(FormatPositional(kTimerLabel, name), std::move(firing), timer.deadline, true);
}

void ModuleScheduler::Fire(const std::string& name, uint64_t generation,
                           const std::function<void()>& callback) {
  auto it = timers_.find(name);
  if (it == timers_.end()) {
    Log(kLevelWarn, Tag::DBG | Tag::NET, "Couldn't find timer named %s", name.c_str());
    return;
  }
  if (it->second.generation != generation) return;  // restarted meanwhile
  it->second.deadline =
      SteadyNowNanoseconds() +
      static_cast<int64_t>(it->second.interval * static_cast<double>(kNanosecondsPerSecond));
  callback();
  // The callback may have restarted or removed its own timer: then this chain ends.
  it = timers_.find(name);
  if (it == timers_.end() || it->second.generation != generation) return;
  ScheduleFiring(it->second, callback);
}

void ModuleScheduler::Sleep(int64_t milliseconds) {
  int64_t deadline = SteadyNowNanoseconds() + milliseconds * kNanosecondsPerMillisecond;
  host_->BeginWait(kWaitSleepLabel);
  do {
    host_->Pump();
  } while (SteadyNowNanoseconds() < deadline);
  host_->EndWait();
}

void ModuleScheduler::Yield() {
  host_->BeginWait(kWaitYieldLabel);
  host_->Pump();
  host_->EndWait();
}

void ModuleScheduler::Clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The host may still call back with these: keep them until the scheduler goes.
    for (auto& [serial, entry] : entries_) cleared_.push_back(std::move(entry));
    entries_.clear();
  }
  timers_.clear();
}

size_t ModuleScheduler::scheduled_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

void ModuleScheduler::ReportFutureError(const std::future_error& error) {
  std::string message = FormatPositional(kFutureErrorMessage, error.code().value(), error.what());
  ReportAssertion(kFutureErrorCode, message.c_str(), "", 0, "");
}

}  // namespace Voro
