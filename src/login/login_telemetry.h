// What one login reports about itself: phase durations, attempts and how it ended, sent as
// the telemetry event "login_result" at the end of the login task.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "diag/failure.h"

namespace Voro {

// Field name to text, in the order of the names.
using LoginTelemetryRecord = std::map<std::string, std::string>;

inline constexpr char kLoginResultEvent[] = "login_result";

// Writes `phase` + "_duration_seconds" = the seconds since `start_nanoseconds` (steady
// clock) as "%f" of a single-precision value.
void RecordDuration(LoginTelemetryRecord& record, std::string_view phase,
                    int64_t start_nanoseconds);
// Marks the login failed with `failure`'s id and message identifier.
void RecordFailure(LoginTelemetryRecord& record, const Failure& failure);

}  // namespace Voro
