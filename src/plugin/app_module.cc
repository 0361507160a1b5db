#include "plugin/app_module.h"

#include "binding/types/builtin_types.h"
#include "diag/log.h"
#include "diag/logger.h"
#include "diag/plugin_log_target.h"
#include "plugin/telemetry_sender.h"

namespace Voro {

AppModule::AppModule() {
  Logger::Acquire();
  RegisterBuiltinTypes(registry_);
}

AppModule::~AppModule() {
  if (log_target_) {
    log_target_->Detach();
    log_target_.reset();
  }
  Logger::Release();
}

HostApi* AppModule::host_api(const char* operation) const {
  if (host_services_ == nullptr || host_services_->api == nullptr) {
    Log(kLevelError, Tag::DBG, "%s called before the host initialised the plugin", operation);
    return nullptr;
  }
  return host_services_->api;
}

void AppModule::Shutdown() {
  scheduler_.Clear();
  auto subscriptions = std::move(subscriptions_);
  subscriptions_.clear();
  for (const auto& [event_name, count] : subscriptions) {
    (void)count;
    (void)UnsubscribeEvent(event_name.c_str());
  }
  event_handlers_.clear();
  resource_handlers_.clear();
  resource_patterns_.clear();
  MutexLock lock(&mutex_);
  service_proxy_mailbox_.clear();
  service_proxy_pending_.clear();
  service_proxy_async_.clear();
}

void AppModule::SendRequest(HostResponse* response, const HostRequest* request) {
  if (HostApi* api = host_api("SendRequest")) api->SendRequest(api, response, request);
}

void AppModule::SendExternalRequest(HostExternalResponse* response,
                                    const HostExternalRequest* request) {
  if (HostApi* api = host_api("SendExternalRequest")) {
    api->SendExternalRequest(api, response, request);
  }
}

void AppModule::PublishEvent(const PluginEvent* event) {
  if (HostApi* api = host_api("PublishEvent")) api->PublishEvent(api, event);
}

int32_t AppModule::SubscribeEvent(const char* event_name, HostEventCallback callback,
                                  void* user_data, uint32_t flag) {
  HostApi* api = host_api("SubscribeEvent");
  return api ? api->SubscribeEvent(api, event_name, plugin_handle_, callback, user_data, flag) : 0;
}

int32_t AppModule::UnsubscribeEvent(const char* event_name) {
  HostApi* api = host_api("UnsubscribeEvent");
  return api ? api->UnsubscribeEvent(api, event_name, plugin_handle_) : 0;
}

void AppModule::ScheduleCallback(const char* label, HostScheduledCallback callback, void* user_data,
                                 double delay_seconds) {
  if (HostApi* api = host_api("ScheduleCallback")) {
    api->ScheduleCallback(api, label, callback, user_data, delay_seconds < 0 ? 0 : delay_seconds,
                          0);
  }
}

void AppModule::Pump() {
  if (HostApi* api = host_api("Pump")) api->Pump(api);
}

void AppModule::BeginWait(const char* label) {
  if (HostApi* api = host_api("BeginWait")) api->BeginWait(api, label, 0);
}

void AppModule::EndWait() {
  if (HostApi* api = host_api("EndWait")) api->EndWait(api);
}

void AppModule::RegisterApi() {}

bool AppModule::OnInitialize() { return true; }

}  // namespace Voro
