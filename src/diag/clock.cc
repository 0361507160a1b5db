#include "diag/clock.h"

#include <time.h>

#include <atomic>
#include <chrono>

namespace Voro {

namespace {

constexpr int64_t kFileTimeUnitsPerSecond = 10'000'000;
constexpr int64_t kFileTimeUnitsPerMillisecond = 10'000;

constexpr int64_t ComputeEpochFileTime() {
  using std::chrono::January;
  using std::chrono::sys_days;
  using std::chrono::year;
  const auto days = sys_days{year(1970) / January / 1} - sys_days{year(1601) / January / 1};
  return std::chrono::duration_cast<std::chrono::seconds>(days).count() * kFileTimeUnitsPerSecond;
}

// Computed once, from the calendar.
constexpr int64_t kUnixEpochFileTime = ComputeEpochFileTime();

// Null while the real clocks are in use.
std::atomic<ClockSource*> g_clock_source{nullptr};

}  // namespace

int64_t UnixEpochFileTime() { return kUnixEpochFileTime; }

int64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  return kUnixEpochFileTime + seconds * kFileTimeUnitsPerSecond + nanoseconds / 100;
}

int64_t FileTimeToUnixMilliseconds(int64_t file_time) {
  return (file_time - kUnixEpochFileTime) / kFileTimeUnitsPerMillisecond;
}

ClockSource* SetClockSource(ClockSource* source) {
  return g_clock_source.exchange(source, std::memory_order_acq_rel);
}

int64_t NowUnixMilliseconds() {
  ClockSource* source = g_clock_source.load(std::memory_order_acquire);
  return source != nullptr ? source->UnixMilliseconds() : RealUnixMilliseconds();
}

int64_t SteadyNowNanoseconds() {
  ClockSource* source = g_clock_source.load(std::memory_order_acquire);
  return source != nullptr ? source->SteadyNanoseconds() : RealSteadyNanoseconds();
}

int64_t RealUnixMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return FileTimeToUnixMilliseconds(FileTimeFromUnix(now.tv_sec, now.tv_nsec));
}

int64_t RealSteadyNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace Voro
