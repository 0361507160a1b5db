// The host's ten services, as the plugin sees them through HostApi. Scheduling and event
// delivery run on the plugin thread; the log and the events are collected; host endpoints
// are answered by the endpoint registry; external HTTP(S) is performed with libcurl.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/result.h"
#include "host/external_http.h"
#include "host/host_endpoints.h"
#include "host/plugin_thread.h"
#include "host/qsa_service.h"
#include "kiv/plugin_abi.h"

namespace kivhost {

struct LogLine {
  int32_t level = 0;
  std::string message;
};

struct Subscription {
  HostEventCallback callback = nullptr;
  void* user_data = nullptr;
  uint32_t flag = 0;
};

// One entry of the event log: what was published or raised, what reached the plugin's own
// subscription (delivered) and what reached an observer (observed).
struct EventRecord {
  enum Kind { kPublished, kRaised, kDelivered, kObserved };
  Kind kind = kPublished;
  std::string name;
  std::string payload;  // compact JSON
  // Published: the plugin the event is addressed to (PluginEvent.pass_through), 0 for all.
  // Observed: the observer that received it.
  uint32_t plugin_id = 0;
};

// Receives, on the plugin thread, the kObserved record of each event delivered to an observer.
using ObserverCallback = std::function<void(const EventRecord&)>;

// An open wait: its label and when it began.
struct OpenWait {
  std::string label;
  std::chrono::steady_clock::time_point since;
};

class SubstituteHost {
 public:
  // `thread` must outlive the host.
  explicit SubstituteHost(PluginThread* thread);
  SubstituteHost(const SubstituteHost&) = delete;
  SubstituteHost& operator=(const SubstituteHost&) = delete;

  // The block handed to Initialize; stays valid for the host's life.
  HostServices* services() { return &services_; }
  // What SendRequest answers with; configure it before the plugin starts or any time after.
  HostEndpoints& endpoints() { return endpoints_; }
  // What SendExternalRequest performs the plugin's requests with (its trust store, say).
  ExternalHttp& external_http() { return external_http_; }
  // The sign-on service; it answers only once installed into endpoints().
  QsaService& qsa() { return qsa_; }

  // Called for every log line as it arrives (any thread); lines are also kept.
  void SetLogSink(std::function<void(const LogLine&)> sink);
  std::vector<LogLine> log_lines() const;
  // Called for every entry of the event log as it is added, on the thread that adds it and
  // under the host's lock: the sink must not call back into the host.
  void SetEventSink(std::function<void(const EventRecord&)> sink);
  // Names of the events the plugin published, in order.
  std::vector<std::string> published_events() const;
  std::vector<EventRecord> event_log() const;
  std::map<std::string, Subscription> subscriptions() const;
  // Labels of the waits the plugin has begun and not ended, innermost last.
  std::vector<std::string> open_waits() const;
  std::vector<OpenWait> open_waits_since() const;

  // Raises an event as another part of the client would: it is delivered, on the plugin
  // thread, to the subscriber of `name` if there is one. `payload_json` is the payload as
  // JSON. Fails when the JSON is not valid.
  [[nodiscard]] kiv::Status RaiseEvent(const std::string& name, const std::string& payload_json);

  // Adds an observer: another plugin of the client, with the id `plugin_id`, listening to
  // the events the plugin publishes whose names match `filter` (host/event_filter.h). As a
  // client core does, an event published with a non-zero pass_through reaches only the
  // observers with that id; the plugin's own subscriptions are not affected. Delivery is on
  // the plugin thread, after the publishing call, and is logged as kObserved. Fails for the
  // id 0 (it means "every plugin") and for a filter that is not one.
  [[nodiscard]] kiv::Status AddObserver(uint32_t plugin_id, std::string filter,
                                        ObserverCallback callback);
  // Removes the observers with the id; what was queued for them is not delivered. Returns
  // how many there were.
  size_t RemoveObservers(uint32_t plugin_id);

  static const char* LevelName(int32_t level);

 private:
  struct Table {
    HostApi api;  // first: the plugin passes &api back, which is the Table's address
    SubstituteHost* owner;
  };
  static SubstituteHost* From(HostApi* api);

  static void SendRequest(HostApi* api, HostResponse* response, const HostRequest* request);
  static void SendExternalRequest(HostApi* api, HostExternalResponse* response,
                                  const HostExternalRequest* request);
  static void PublishEvent(HostApi* api, const PluginEvent* event);
  static int32_t SubscribeEvent(HostApi* api, const char* event_name, void* plugin_handle,
                                HostEventCallback callback, void* user_data, uint32_t flag);
  static int32_t UnsubscribeEvent(HostApi* api, const char* event_name, void* plugin_handle);
  static void ScheduleCallback(HostApi* api, const char* label, HostScheduledCallback callback,
                               void* user_data, double delay_seconds, uint32_t zero);
  static void Pump(HostApi* api);
  static void BeginWait(HostApi* api, const char* label, uint32_t zero);
  static void EndWait(HostApi* api);
  static void Log(HostApi* api, int32_t level, const char* message);

  struct Observer {
    uint32_t plugin_id = 0;
    std::string filter;
    ObserverCallback callback;
  };
  static bool Reaches(const Observer& observer, const std::string& name, uint32_t pass_through);

  // Queues delivery of an event to its subscriber, if any, on the plugin thread.
  void QueueDelivery(const std::string& name, const std::string& payload_json);
  void Deliver(const std::string& name, const std::string& payload_json);
  // The same for a published event and the observers it reaches.
  void QueueObserverDelivery(const std::string& name, const std::string& payload_json,
                             uint32_t pass_through);
  void DeliverToObservers(const std::string& name, const std::string& payload_json,
                          uint32_t pass_through);
  // REQUIRES: mutex_ held.
  void AddEventLocked(EventRecord record);

  PluginThread* thread_;
  Table table_;
  HostServices services_;
  HostEndpoints endpoints_;
  ExternalHttp external_http_;
  QsaService qsa_;
  mutable std::mutex mutex_;
  std::function<void(const LogLine&)> sink_;            // Guarded by mutex_.
  std::function<void(const EventRecord&)> event_sink_;  // Guarded by mutex_.
  std::vector<LogLine> log_;                            // Guarded by mutex_.
  std::vector<EventRecord> events_;                     // Guarded by mutex_.
  std::map<std::string, Subscription> subscriptions_;   // Guarded by mutex_.
  std::vector<Observer> observers_;                     // Guarded by mutex_.
  std::vector<OpenWait> waits_;                         // Guarded by mutex_.
};

}  // namespace kivhost
