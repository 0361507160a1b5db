#include "support/fake_host.h"

#include "binding/value/binding_abi.h"
#include "binding/codec/json_writer.h"

namespace Voro::testing {

FakeHost::FakeHost() : table_{}, services_{} {
  table_.owner = this;
  table_.api.SendRequest = [](HostApi* api, HostResponse* response, const HostRequest* request) {
    FakeHost* self = From(api);
    self->calls.push_back({"SendRequest", request && request->path ? request->path : ""});
    if (self->on_request) self->on_request(response, request);
  };
  table_.api.SendExternalRequest = [](HostApi* api, HostExternalResponse* response,
                                      const HostExternalRequest* request) {
    FakeHost* self = From(api);
    self->calls.push_back({"SendExternalRequest", request && request->url ? request->url : ""});
    if (self->on_external_request) self->on_external_request(response, request);
  };
  table_.api.PublishEvent = [](HostApi* api, const PluginEvent* event) {
    FakeHost* self = From(api);
    const std::string name = event && event->name ? event->name : "";
    self->calls.push_back({"PublishEvent", name});
    BindingResult payload = FromAbiValue(event->payload, "payload");
    self->published.emplace_back(name,
                                 payload.ok() ? WriteJson(payload.value()) : "conversion failed");
  };
  table_.api.SubscribeEvent = [](HostApi* api, const char* name, void*, HostEventCallback callback,
                                 void* user_data, uint32_t flag) -> int32_t {
    FakeHost* self = From(api);
    self->calls.push_back({"SubscribeEvent", name ? name : "", flag});
    self->subscribers[name ? name : ""] = Subscriber{callback, user_data, flag};
    return 1;
  };
  table_.api.UnsubscribeEvent = [](HostApi* api, const char* name, void*) -> int32_t {
    FakeHost* self = From(api);
    self->calls.push_back({"UnsubscribeEvent", name ? name : ""});
    self->subscribers.erase(name ? name : "");
    return 1;
  };
  table_.api.ScheduleCallback = [](HostApi* api, const char* label, HostScheduledCallback, void*,
                                   double, uint32_t) {
    From(api)->calls.push_back({"ScheduleCallback", label ? label : ""});
  };
  table_.api.Pump = [](HostApi* api) {
    FakeHost* self = From(api);
    self->calls.push_back({"Pump", ""});
    if (self->on_pump) self->on_pump();
  };
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

bool FakeHost::Deliver(const std::string& name, const BindingProperty& payload) {
  auto it = subscribers.find(name);
  if (it == subscribers.end() || it->second.callback == nullptr) return false;
  HostEvent event{};
  event.name = name.c_str();
  event.user_data = it->second.user_data;
  ToAbiValue(payload, &event.payload);
  it->second.callback(&event);
  ReleaseAbiValue(&event.payload);
  return true;
}

}  // namespace Voro::testing
