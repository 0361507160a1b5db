// Wall clock in Unix milliseconds and a monotonic clock for scheduling.
#pragma once

#include <cstdint>

namespace Voro {

// File time: 100-nanosecond units since 1601-01-01 00:00:00 UTC.
// The file time of 1970-01-01 00:00:00 UTC.
int64_t UnixEpochFileTime();

// System time as a file time: seconds and nanoseconds since 1970.
int64_t FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
// Milliseconds since 1970 of a file time.
int64_t FileTimeToUnixMilliseconds(int64_t file_time);

// Where the plugin reads the time. Every clock reading goes through the installed source:
// the real clocks unless a test installed its own (a manual clock lets minutes of waiting
// pass in no wall time).
class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual int64_t SteadyNanoseconds() = 0;
  virtual int64_t UnixMilliseconds() = 0;
};

// Installs `source`, or the real clocks for null; returns the source installed before.
// REQUIRES: `source` outlives its installation. Any thread.
ClockSource* SetClockSource(ClockSource* source);

// The real clocks, whatever source is installed.
int64_t RealUnixMilliseconds();
int64_t RealSteadyNanoseconds();

// Current UTC time in milliseconds since 1970-01-01 00:00:00. Any thread.
int64_t NowUnixMilliseconds();

// Nanoseconds of a clock that never steps back (its start is arbitrary). Any thread.
int64_t SteadyNowNanoseconds();

}  // namespace Voro
