#include "plugin/app_module.h"

#include "diag/log.h"
#include "diag/logger.h"
#include "diag/plugin_log_target.h"

namespace Voro {

namespace {

// Incoming resource events are dispatched by the module's event machinery; until a
// handler is registered for a name, its events are dropped.
void DropHostEvent(const HostEvent* /*event*/) {}

}  // namespace

AppModule::AppModule() { Logger::Acquire(); }

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

std::string AppModule::ResourceEventName(const std::string& path) {
  std::vector<std::string> entries{"OnJsonApiEvent"};
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) entries.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  size_t keep = entries.size() > 1 && entries[1] == "kiv-platform-config" ? 6 : 4;
  if (entries.size() > keep) entries.resize(keep);
  std::string name;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) name += '_';
    name += entries[i];
  }
  return name;
}

int AppModule::subscription_count(const std::string& event_name) const {
  auto it = subscriptions_.find(event_name);
  return it == subscriptions_.end() ? 0 : it->second;
}

void AppModule::Subscribe(const std::string& path) {
  std::string event_name = ResourceEventName(path);
  if (++subscriptions_[event_name] == 1) {
    (void)SubscribeEvent(event_name.c_str(), &DropHostEvent, this, 0);
  }
}

void AppModule::Unsubscribe(const std::string& path) {
  std::string event_name = ResourceEventName(path);
  auto it = subscriptions_.find(event_name);
  if (it == subscriptions_.end()) return;
  if (--it->second <= 0) {
    subscriptions_.erase(it);
    (void)UnsubscribeEvent(event_name.c_str());
  }
}

void AppModule::Shutdown() {
  scheduler_.Clear();
  auto subscriptions = std::move(subscriptions_);
  subscriptions_.clear();
  for (const auto& [event_name, count] : subscriptions) {
    (void)count;
    (void)UnsubscribeEvent(event_name.c_str());
  }
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
