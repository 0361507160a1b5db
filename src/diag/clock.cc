#include "diag/clock.h"

#include <time.h>

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

}  // namespace

int64_t UnixEpochFileTime() { return kUnixEpochFileTime; }

int64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  return kUnixEpochFileTime + seconds * kFileTimeUnitsPerSecond + nanoseconds / 100;
}

int64_t FileTimeToUnixMilliseconds(int64_t file_time) {
  return (file_time - kUnixEpochFileTime) / kFileTimeUnitsPerMillisecond;
}

int64_t NowUnixMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return FileTimeToUnixMilliseconds(FileTimeFromUnix(now.tv_sec, now.tv_nsec));
}

int64_t SteadyNowNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace Voro
