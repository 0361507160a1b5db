#include "login/login_telemetry.h"

#include <cstdio>

#include "diag/clock.h"

namespace Voro {

void RecordDuration(LoginTelemetryRecord& record, std::string_view phase,
                    int64_t start_nanoseconds) {
  const auto seconds =
      static_cast<float>(SteadyNowNanoseconds() - start_nanoseconds) / 1000000000.0f;
  char text[64];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(seconds));
  record[std::string(phase) + "_duration_seconds"] = text;
}

void RecordFailure(LoginTelemetryRecord& record, const Failure& failure) {
  record["login_succeeded"] = "false";
  record["login_error.id"] = failure.id;
  record["login_error.messageId"] = failure.messageId;
}

}  // namespace Voro
