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

// Current UTC time in milliseconds since 1970-01-01 00:00:00. Any thread.
int64_t NowUnixMilliseconds();

// Nanoseconds of a clock that never steps back (its start is arbitrary). Any thread.
int64_t SteadyNowNanoseconds();

}  // namespace Voro
