// Telemetry goes to the host's own endpoints as ordinary host requests; the host adds its
// common data to every event.
#pragma once

#include <future>
#include <string>
#include <string_view>

#include "kiv/plugin_abi.h"
#include "plugin/app_module.h"
#include "plugin/request_result.h"

namespace Voro {

class TelemetrySender {
 public:
  static constexpr const char* kEventsPrefix = "/telemetry/v1/events/";
  static constexpr const char* kCommonDataPrefix = "/telemetry/v1/common-data/";

  // `module` must outlive the sender. Module thread only.
  explicit TelemetrySender(AppModule* module) : module_(module) {}

  // POST kEventsPrefix + name with the fields of `data` (a registered record or a map of
  // texts) as the arguments. The host answers at once, so the future is already complete.
  template <typename P>
  std::future<RequestResult<void>> SendTelemetryEvent(std::string_view name, const P& data) {
    return Completed(module_->Request<void>(KIV_METHOD_POST, EventPath(name), data));
  }

  // POST kCommonDataPrefix + key with `value`'s fields as the arguments. Nobody acts on the
  // outcome: telemetry never stops a login.
  template <typename P>
  void SetTelemetryCommonData(std::string_view key, const P& value) {
    RequestResult<void> ignored =
        module_->Request<void>(KIV_METHOD_POST, CommonDataPath(key), value);
    (void)ignored;
  }

  // The paths are the prefixes followed directly by the name: no "/" is added.
  static std::string EventPath(std::string_view name);
  static std::string CommonDataPath(std::string_view key);

 private:
  static std::future<RequestResult<void>> Completed(RequestResult<void> result);

  AppModule* module_;
};

}  // namespace Voro
