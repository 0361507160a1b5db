#include "support/fake_host.h"

namespace Voro::testing {

FakeHost::FakeHost() : table_{}, services_{} {
  table_.owner = this;
  table_.api.SendRequest = [](HostApi* api, HostResponse*, const HostRequest* request) {
    From(api)->calls.push_back({"SendRequest", request && request->path ? request->path : ""});
  };
  table_.api.SendExternalRequest = [](HostApi* api, HostExternalResponse*,
                                      const HostExternalRequest* request) {
    From(api)->calls.push_back(
        {"SendExternalRequest", request && request->url ? request->url : ""});
  };
  table_.api.PublishEvent = [](HostApi* api, const PluginEvent* event) {
    From(api)->calls.push_back({"PublishEvent", event && event->name ? event->name : ""});
  };
  table_.api.SubscribeEvent = [](HostApi* api, const char* name, void*, HostEventCallback, void*,
                                 uint32_t flag) -> int32_t {
    From(api)->calls.push_back({"SubscribeEvent", name ? name : "", flag});
    return 1;
  };
  table_.api.UnsubscribeEvent = [](HostApi* api, const char* name, void*) -> int32_t {
    From(api)->calls.push_back({"UnsubscribeEvent", name ? name : ""});
    return 1;
  };
  table_.api.ScheduleCallback = [](HostApi* api, const char* label, HostScheduledCallback, void*,
                                   double, uint32_t) {
    From(api)->calls.push_back({"ScheduleCallback", label ? label : ""});
  };
  table_.api.Pump = [](HostApi* api) { From(api)->calls.push_back({"Pump", ""}); };
  table_.api.BeginWait = [](HostApi* api, const char* label, uint32_t) {
    From(api)->calls.push_back({"BeginWait", label ? label : ""});
  };
  table_.api.EndWait = [](HostApi* api) { From(api)->calls.push_back({"EndWait", ""}); };
  table_.api.Log = [](HostApi* api, int32_t level, const char* message) {
    From(api)->log.emplace_back(level, message ? message : "");
  };
  services_.api = &table_.api;
  services_.plugin_handle = this;
}

int FakeHost::Count(const std::string& slot) const {
  int n = 0;
  for (const Call& call : calls) n += call.slot == slot ? 1 : 0;
  return n;
}

}  // namespace Voro::testing
