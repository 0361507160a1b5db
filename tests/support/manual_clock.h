// A clock that moves only when a test moves it; installed for the object's lifetime.
#pragma once

#include <atomic>
#include <cstdint>

#include "diag/clock.h"

namespace Voro::testing {

class ManualClock final : public ClockSource {
 public:
  // Starts at the given readings and installs itself.
  explicit ManualClock(int64_t steady_nanoseconds = 1'000'000'000,
                       int64_t unix_milliseconds = 1'700'000'000'000)
      : steady_(steady_nanoseconds), unix_(unix_milliseconds) {
    previous_ = SetClockSource(this);
  }
  ~ManualClock() override { SetClockSource(previous_); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  int64_t SteadyNanoseconds() override { return steady_.load(); }
  int64_t UnixMilliseconds() override { return unix_.load(); }

  // Moves both clocks forward together.
  void AdvanceMilliseconds(int64_t milliseconds) {
    steady_ += milliseconds * 1'000'000;
    unix_ += milliseconds;
  }
  void AdvanceNanoseconds(int64_t nanoseconds) { steady_ += nanoseconds; }

 private:
  std::atomic<int64_t> steady_;
  std::atomic<int64_t> unix_;
  ClockSource* previous_ = nullptr;
};

}  // namespace Voro::testing
