// What the plugin reported to the host's telemetry, as text for a person: each event with
// its fields, each common-data key with its value, in the order they arrived.
#pragma once

#include <string>
#include <vector>

#include "host/host_endpoints.h"

namespace kivhost {

// One line per event ("telemetry event NAME"), then one indented line per field
// ("    FIELD = VALUE", strings without quotes, anything else as JSON); one line per
// common-data key ("telemetry common data KEY = ARGUMENTS"). Other records are left out;
// "telemetry: nothing sent\n" when there is no telemetry at all.
std::string DescribeTelemetry(const std::vector<SinkRecord>& records);

}  // namespace kivhost
