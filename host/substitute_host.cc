#include "host/substitute_host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "host/abi_value.h"
#include "host/event_filter.h"

namespace kivhost {

namespace {

constexpr char kNoRequest[] = "kivhost received no request";
constexpr uint32_t kEveryPlugin = 0;

}  // namespace

SubstituteHost::SubstituteHost(PluginThread* thread) : thread_(thread), table_{}, services_{} {
  table_.api = HostApi{&SendRequest,
                       &SendExternalRequest,
                       &PublishEvent,
                       &SubscribeEvent,
                       &UnsubscribeEvent,
                       &ScheduleCallback,
                       &Pump,
                       &BeginWait,
                       &EndWait,
                       &Log};
  table_.owner = this;
  services_.api = &table_.api;
  services_.plugin_handle = this;
}

SubstituteHost* SubstituteHost::From(HostApi* api) { return reinterpret_cast<Table*>(api)->owner; }

const char* SubstituteHost::LevelName(int32_t level) {
  switch (level) {
    case 0:
      return "  OKAY";
    case 1:
      return "  WARN";
    case 2:
      return " ERROR";
    case 3:
      return "ALWAYS";
    default:
      return "   ???";
  }
}

void SubstituteHost::SetLogSink(std::function<void(const LogLine&)> sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  sink_ = std::move(sink);
}

void SubstituteHost::SetEventSink(std::function<void(const EventRecord&)> sink) {
  std::lock_guard<std::mutex> lock(mutex_);
  event_sink_ = std::move(sink);
}

void SubstituteHost::AddEventLocked(EventRecord record) {
  if (event_sink_) event_sink_(record);
  events_.push_back(std::move(record));
}

std::vector<LogLine> SubstituteHost::log_lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::vector<std::string> SubstituteHost::published_events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  for (const EventRecord& record : events_) {
    if (record.kind == EventRecord::kPublished) names.push_back(record.name);
  }
  return names;
}

std::vector<EventRecord> SubstituteHost::event_log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::map<std::string, Subscription> SubstituteHost::subscriptions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return subscriptions_;
}

std::vector<std::string> SubstituteHost::open_waits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> labels;
  for (const OpenWait& wait : waits_) labels.push_back(wait.label);
  return labels;
}

std::vector<OpenWait> SubstituteHost::open_waits_since() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waits_;
}

kiv::Status SubstituteHost::RaiseEvent(const std::string& name, const std::string& payload_json) {
  // Checked here so that a bad payload fails its caller, not the delivery.
  BindingAbiValue payload{};
  if (auto built = AbiFromJsonText(payload_json, &payload); !built.ok()) return built;
  ReleaseAbiValue(&payload);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    AddEventLocked({EventRecord::kRaised, name, payload_json, kEveryPlugin});
  }
  QueueDelivery(name, payload_json);
  return {};
}

void SubstituteHost::QueueDelivery(const std::string& name, const std::string& payload_json) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (subscriptions_.count(name) == 0) return;
  }
  // Never inside the publishing call: a client core delivers events from its own loop.
  thread_->Schedule(
      "kivhost.event " + name, [this, name, payload_json] { Deliver(name, payload_json); }, 0);
}

void SubstituteHost::Deliver(const std::string& name, const std::string& payload_json) {
  Subscription subscription;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = subscriptions_.find(name);
    // Unsubscribed since the event was queued.
    if (it == subscriptions_.end() || it->second.callback == nullptr) return;
    subscription = it->second;
    AddEventLocked({EventRecord::kDelivered, name, payload_json, kEveryPlugin});
  }
  HostEvent event{};
  event.name = name.c_str();
  event.user_data = subscription.user_data;
  // A raised payload was read before it was queued; a published one holding NaN or Infinity,
  // which JSON cannot read back, is not delivered.
  if (!AbiFromJsonText(payload_json, &event.payload).ok()) return;
  subscription.callback(&event);
  ReleaseAbiValue(&event.payload);
}

kiv::Status SubstituteHost::AddObserver(uint32_t plugin_id, std::string filter,
                                        ObserverCallback callback) {
  if (plugin_id == kEveryPlugin) {
    return kiv::Error{"an observer needs a plugin id other than 0, which addresses every plugin"};
  }
  if (!IsEventFilter(filter)) {
    constexpr const char* kForms = "an event name, or the start of one followed by '*'";
    return kiv::Error{"'" + filter + "' is not an event filter (" + kForms + ")"};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  observers_.push_back({plugin_id, std::move(filter), std::move(callback)});
  return {};
}

size_t SubstituteHost::RemoveObservers(uint32_t plugin_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::erase_if(observers_,
                       [plugin_id](const Observer& o) { return o.plugin_id == plugin_id; });
}

bool SubstituteHost::Reaches(const Observer& observer, const std::string& name,
                             uint32_t pass_through) {
  return (pass_through == kEveryPlugin || pass_through == observer.plugin_id) &&
         EventFilterMatches(observer.filter, name);
}

void SubstituteHost::QueueObserverDelivery(const std::string& name, const std::string& payload_json,
                                           uint32_t pass_through) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::none_of(observers_.begin(), observers_.end(),
                     [&](const Observer& o) { return Reaches(o, name, pass_through); })) {
      return;
    }
  }
  // Like the plugin's own deliveries: later, from the loop, in the order of publishing.
  thread_->Schedule(
      "kivhost.observe " + name,
      [this, name, payload_json, pass_through] {
        DeliverToObservers(name, payload_json, pass_through);
      },
      0);
}

void SubstituteHost::DeliverToObservers(const std::string& name, const std::string& payload_json,
                                        uint32_t pass_through) {
  std::vector<std::pair<ObserverCallback, EventRecord>> deliveries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Observers removed since the event was queued are not among them.
    for (const Observer& observer : observers_) {
      if (!Reaches(observer, name, pass_through)) continue;
      EventRecord record{EventRecord::kObserved, name, payload_json, observer.plugin_id};
      AddEventLocked(record);
      deliveries.emplace_back(observer.callback, std::move(record));
    }
  }
  // Outside the lock: a callback may ask the host what it logged.
  for (const auto& [callback, record] : deliveries) {
    if (callback) callback(record);
  }
}

void SubstituteHost::SendRequest(HostApi* api, HostResponse* response, const HostRequest* request) {
  if (response == nullptr) return;
  if (request == nullptr) {
    HostEndpoints::Refuse(kBadArgumentsStatus, kNoRequest, response);
    return;
  }
  From(api)->endpoints_.Answer(*request, response);
}

void SubstituteHost::SendExternalRequest(HostApi* api, HostExternalResponse* response,
                                         const HostExternalRequest* request) {
  if (response == nullptr) return;
  if (request == nullptr) {
    HostExternalRequest none{};
    From(api)->external_http_.Perform(none, response);
    return;
  }
  // On the plugin thread, as a client core does: the request's time-out bounds the wait.
  From(api)->external_http_.Perform(*request, response);
}

void SubstituteHost::PublishEvent(HostApi* api, const PluginEvent* event) {
  if (event == nullptr || event->name == nullptr) return;
  SubstituteHost* self = From(api);
  auto json = AbiToJson(event->payload);
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->AddEventLocked({EventRecord::kPublished, event->name,
                          json.ok() ? json.value() : "<" + json.error() + ">",
                          event->pass_through});
  }
  if (!json.ok()) return;
  // The plugin's own subscription hears its events whatever their address, as before.
  self->QueueDelivery(event->name, json.value());
  self->QueueObserverDelivery(event->name, json.value(), event->pass_through);
}

int32_t SubstituteHost::SubscribeEvent(HostApi* api, const char* event_name,
                                       void* /*plugin_handle*/, HostEventCallback callback,
                                       void* user_data, uint32_t flag) {
  if (event_name == nullptr) return 0;
  SubstituteHost* self = From(api);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->subscriptions_[event_name] = Subscription{callback, user_data, flag};
  return 1;
}

int32_t SubstituteHost::UnsubscribeEvent(HostApi* api, const char* event_name,
                                         void* /*plugin_handle*/) {
  if (event_name == nullptr) return 0;
  SubstituteHost* self = From(api);
  std::lock_guard<std::mutex> lock(self->mutex_);
  return self->subscriptions_.erase(event_name) > 0 ? 1 : 0;
}

void SubstituteHost::ScheduleCallback(HostApi* api, const char* label,
                                      HostScheduledCallback callback, void* user_data,
                                      double delay_seconds, uint32_t /*zero*/) {
  if (callback == nullptr) return;
  From(api)->thread_->Schedule(
      label ? label : "", [callback, user_data] { callback(user_data); }, delay_seconds);
}

void SubstituteHost::Pump(HostApi* api) {
  PluginThread* thread = From(api)->thread_;
  // Pumping belongs to the plugin thread; from anywhere else it would run plugin code
  // concurrently with itself.
  if (!thread->OnPluginThread()) return;
  thread->RunDueOnce(std::chrono::milliseconds(2));
}

void SubstituteHost::BeginWait(HostApi* api, const char* label, uint32_t /*zero*/) {
  SubstituteHost* self = From(api);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->waits_.push_back({label ? label : "", std::chrono::steady_clock::now()});
}

void SubstituteHost::EndWait(HostApi* api) {
  SubstituteHost* self = From(api);
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (!self->waits_.empty()) self->waits_.pop_back();
}

void SubstituteHost::Log(HostApi* api, int32_t level, const char* message) {
  SubstituteHost* self = From(api);
  LogLine line{level, message ? message : ""};
  std::lock_guard<std::mutex> lock(self->mutex_);
  if (self->sink_) self->sink_(line);
  self->log_.push_back(std::move(line));
}

}  // namespace kivhost
