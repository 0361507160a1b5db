// AppModule: subscriptions, incoming events and their dispatch, publishing, and the
// service-proxy mailboxes.
#include <exception>
#include <string>

#include "binding/codec/json_writer.h"
#include "binding/value/binding_abi.h"
#include "diag/format_positional.h"
#include "diag/log.h"
#include "plugin/app_module.h"

namespace Voro {

namespace {

constexpr const char* kFulfilledMessage = "Fulfilled service proxy request: %s";
constexpr const char* kNoAsyncHandlerMessage =
    "Could not find registered handler for async service proxy event %s";
constexpr uint32_t kHostEventFlag = 0;
constexpr uint32_t kOwnEventFlag = 1;

// Traces for people reading a verbose log; suppressed in the host's log.
constexpr uint64_t kTraceTags = Tag::XTR;

std::string ServiceProxyMethodKey(const PluginServiceProxyResponse& result) {
  return result.serviceName + "." + result.methodName;
}

}  // namespace

// ---- Names and matching ----

std::string AppModule::ResourceEventName(const std::string& path) {
  std::vector<std::string> entries{std::string(kJsonApiEventName)};
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

bool AppModule::MatchesResourcePattern(std::string_view pattern, std::string_view path) {
  // Driven by the path: a "*" left over once the path is used up does not match, so
  // "/a/*" matches "/a/b" but not "/a/".
  size_t p = 0;
  size_t i = 0;
  while (i < path.size()) {
    if (p >= pattern.size()) return false;
    if (pattern[p] == '*') {
      while (i < path.size() && path[i] != '/') ++i;
    } else if (pattern[p] != path[i++]) {
      return false;
    }
    ++p;
  }
  return p == pattern.size();
}

// ---- Subscriptions ----

int AppModule::subscription_count(const std::string& event_name) const {
  auto it = subscriptions_.find(event_name);
  return it == subscriptions_.end() ? 0 : it->second;
}

void AppModule::Subscribe(const std::string& path) {
  std::string event_name = ResourceEventName(path);
  if (++subscriptions_[event_name] != 1) return;
  event_handlers_[event_name] = MakeEventHandler<PluginResourceEvent>(
      [this](const PluginResourceEvent& event) { DispatchResourceEvent(event); });
  Log(kLevelOkay, kTraceTags, "Subscribing to event: %s", event_name.c_str());
  (void)SubscribeEvent(event_name.c_str(), &AppModule::OnHostEvent, this, kHostEventFlag);
}

void AppModule::Unsubscribe(const std::string& path) {
  std::string event_name = ResourceEventName(path);
  auto it = subscriptions_.find(event_name);
  if (it == subscriptions_.end()) return;
  if (--it->second > 0) return;
  subscriptions_.erase(it);
  Log(kLevelOkay, kTraceTags, "Unsubscribing to event: %s", event_name.c_str());
  (void)UnsubscribeEvent(event_name.c_str());
  event_handlers_.erase(event_name);
}

void AppModule::SubscribeOwnEvents() {
  auto subscribe = [this](std::string_view name,
                          std::function<void(const PluginServiceProxyResponse&)> fn) {
    std::string event_name(name);
    event_handlers_[event_name] = MakeEventHandler<PluginServiceProxyResponse>(std::move(fn));
    (void)SubscribeEvent(event_name.c_str(), &AppModule::OnHostEvent, this, kOwnEventFlag);
  };
  subscribe(kServiceProxyUuidEventName, [this](const PluginServiceProxyResponse& result) {
    StoreServiceProxyResult(result.uuid, result);
  });
  subscribe(kServiceProxyMethodEventName, [this](const PluginServiceProxyResponse& result) {
    StoreServiceProxyResult(ServiceProxyMethodKey(result), result);
  });
  subscribe(kServiceProxyAsyncEventName, [this](const PluginServiceProxyResponse& result) {
    RunServiceProxyAsyncHandler(result);
  });
}

// ---- Incoming events ----

template <typename T>
AppModule::EventHandler AppModule::MakeEventHandler(std::function<void(const T&)> handler) {
  return [this, handler = std::move(handler)](const std::string& name,
                                              const BindingProperty& payload) {
    T record{};
    BindingResult converted = FromBinding(payload, "<result>", &record, registry_);
    if (!converted.ok()) {
      const std::string text(converted.error());
      Log(kLevelOkay, kTraceTags, "Couldn't convert payload %s for event %s: %s",
          WriteJson(payload).c_str(), name.c_str(), text.c_str());
      return;
    }
    Log(kLevelOkay, kTraceTags, "Handling event %s", name.c_str());
    handler(record);
  };
}

void AppModule::OnHostEvent(const HostEvent* event) {
  // Called by the host through a C pointer: nothing may escape.
  if (event == nullptr || event->user_data == nullptr || event->name == nullptr) return;
  try {
    static_cast<AppModule*>(event->user_data)->HandleHostEvent(*event);
  } catch (const std::exception& e) {
    Log(kLevelError, Tag::DBG, "Event %s failed: %s", event->name, e.what());
  } catch (...) {
    Log(kLevelError, Tag::DBG, "Event %s failed", event->name);
  }
}

void AppModule::HandleHostEvent(const HostEvent& event) {
  const std::string name(event.name);
  auto it = event_handlers_.find(name);
  if (it == event_handlers_.end()) return;
  BindingResult payload = FromAbiValue(event.payload, "<result>");
  if (!payload.ok()) {
    const std::string text(payload.error());
    Log(kLevelOkay, kTraceTags, "Couldn't convert payload %s for event %s: %s", "<result>",
        name.c_str(), text.c_str());
    return;
  }
  // A copy: the handler may unsubscribe, which erases the table entry.
  EventHandler handler = it->second;
  handler(name, payload.value());
}

void AppModule::SetResourceHandler(const std::string& path, ResourceHandler handler) {
  resource_handlers_[path] = std::move(handler);
}

void AppModule::AddResourcePatternHandler(std::string pattern, ResourceHandler handler) {
  resource_patterns_.emplace_back(std::move(pattern), std::move(handler));
}

void AppModule::DispatchResourceEvent(const PluginResourceEvent& event) {
  PluginResourceEvent normalised = event;
  if (normalised.uri.empty() || normalised.uri[0] != '/') normalised.uri = "/" + normalised.uri;
  // Copies: a handler may register further handlers.
  auto exact = resource_handlers_.find(normalised.uri);
  if (exact != resource_handlers_.end()) {
    ResourceHandler handler = exact->second;
    handler(normalised);
  }
  const auto patterns = resource_patterns_;
  for (const auto& [pattern, handler] : patterns) {
    if (MatchesResourcePattern(pattern, normalised.uri)) handler(normalised);
  }
}

// ---- Publishing ----

void AppModule::PublishValue(const std::string& name, const BindingProperty& payload,
                             uint32_t pass_through) {
  PluginEvent event{};
  event.name = name.c_str();
  event.pass_through = pass_through;
  ToAbiValue(payload, &event.payload, &registry_);
  PublishEvent(&event);
  ReleaseAbiValue(&event.payload);
}

template <typename T>
void AppModule::PublishRecord(const std::string& name, const T& payload, uint32_t pass_through) {
  BindingResult value = ToBinding(payload, registry_);
  if (!value.ok()) {
    const std::string text(value.error());
    Log(kLevelError, Tag::DBG, "Couldn't convert the payload of event %s: %s", name.c_str(),
        text.c_str());
    return;
  }
  PublishValue(name, value.value(), pass_through);
}

void AppModule::PublishResourceEvent(const PluginResourceEvent& event) {
  BindingResult value = ToBinding(event, registry_);
  if (!value.ok()) {
    const std::string text(value.error());
    Log(kLevelError, Tag::DBG, "Couldn't convert the event of %s: %s", event.uri.c_str(),
        text.c_str());
    return;
  }
  const std::string specific = ResourceEventName(event.uri);
  PublishValue(specific, value.value());
  if (specific != kJsonApiEventName) PublishValue(std::string(kJsonApiEventName), value.value());
}

void AppModule::PublishResourceDeleted(const std::string& path) {
  PluginResourceEvent event;
  event.uri = path;
  event.eventType = PluginResourceEventType::Delete;
  PublishResourceEvent(event);
}

void AppModule::PublishLcdsEvent(const PluginLcdsEvent& event) {
  std::string specific = std::string(kLcdsEventName) + "_" + event.typeName;
  for (char& c : specific) {
    if (c == '.') c = '_';
  }
  const std::string general(kLcdsEventName);
  PublishRecord(specific, event);
  if (specific != general) PublishRecord(general, event);
}

void AppModule::PublishServiceProxyEvent(std::string_view event_name, uint32_t plugin_id,
                                         const PluginServiceProxyResponse& response) {
  PublishRecord(std::string(event_name), response, plugin_id);
}

// ---- Service-proxy results ----

void AppModule::AddPendingServiceProxyRequest(const std::string& key, ServiceProxyHandler handler) {
  MutexLock lock(&mutex_);
  service_proxy_pending_[key] = std::move(handler);
}

void AppModule::SetServiceProxyAsyncHandler(const std::string& key, ServiceProxyHandler handler) {
  MutexLock lock(&mutex_);
  service_proxy_async_[key] = std::move(handler);
}

size_t AppModule::service_proxy_mailbox_size() const {
  MutexLock lock(&mutex_);
  return service_proxy_mailbox_.size();
}

void AppModule::StoreServiceProxyResult(const std::string& key,
                                        const PluginServiceProxyResponse& result) {
  {
    MutexLock lock(&mutex_);
    service_proxy_mailbox_[key] = result;
  }
  FulfilServiceProxyRequest();
}

void AppModule::RunServiceProxyAsyncHandler(const PluginServiceProxyResponse& result) {
  const std::string key = ServiceProxyMethodKey(result);
  MutexLock lock(&mutex_);
  auto it = service_proxy_async_.find(key);
  if (it == service_proxy_async_.end()) {
    Log(kLevelError, Tag::DBG, kNoAsyncHandlerMessage, key.c_str());
    return;
  }
  it->second(result);
}

void AppModule::FulfilServiceProxyRequest() {
  MutexLock lock(&mutex_);
  for (auto stored = service_proxy_mailbox_.begin(); stored != service_proxy_mailbox_.end();
       ++stored) {
    auto pending = service_proxy_pending_.find(stored->first);
    if (pending == service_proxy_pending_.end()) continue;
    pending->second(stored->second);
    Log(kLevelAlways, Tag::DBG, kFulfilledMessage, stored->first.c_str());
    service_proxy_pending_.erase(pending);
    service_proxy_mailbox_.erase(stored);
    return;
  }
}

}  // namespace Voro
