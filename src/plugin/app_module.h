// The base of every plugin module: the host's services, the plugin's names and version,
// thin forwarders to the host's function table, and the hooks a module overrides.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/router/api_table.h"
#include "binding/router/endpoint_router.h"
#include "binding/types/native_conversion.h"
#include "binding/types/static_type.h"
#include "binding/types/type_registry.h"
#include "binding/value/binding_result.h"
#include "diag/mutex.h"
#include "kiv/plugin_abi.h"
#include "plugin/module_scheduler.h"
#include "plugin/plugin_api_version.h"
#include "plugin/plugin_name.h"
#include "plugin/plugin_runtime_types.h"
#include "plugin/request_result.h"

namespace Voro {

class PluginLogTarget;
class TelemetrySender;

// Created by Create, initialised once by the host, shut down and deleted through the
// callback table. All calls arrive on the host's thread for this plugin.
class AppModule {
 public:
  AppModule();
  AppModule(const AppModule&) = delete;
  AppModule& operator=(const AppModule&) = delete;

  // The virtual operations, in the order the runtime relies on.
  // Reference-counted subscription to a host resource's event; the first Subscribe of an
  // event name subscribes with the host, the last Unsubscribe unsubscribes.
  virtual void Subscribe(const std::string& path);
  virtual void Unsubscribe(const std::string& path);
  virtual ~AppModule();
  // Drops every subscription still counted and every scheduled callback and timer.
  // Overrides call the base last.
  virtual void Shutdown();
  // Forwarders to the host's slots 0 to 8. Before Initialize there is no host: they log
  // an error and do nothing.
  virtual void SendRequest(HostResponse* response, const HostRequest* request);
  virtual void SendExternalRequest(HostExternalResponse* response,
                                   const HostExternalRequest* request);
  virtual void PublishEvent(const PluginEvent* event);
  virtual int32_t SubscribeEvent(const char* event_name, HostEventCallback callback,
                                 void* user_data, uint32_t flag);
  virtual int32_t UnsubscribeEvent(const char* event_name);
  virtual void ScheduleCallback(const char* label, HostScheduledCallback callback, void* user_data,
                                double delay_seconds);
  virtual void Pump();
  virtual void BeginWait(const char* label);
  virtual void EndWait();
  // Called once during Create: register types, endpoints and events.
  virtual void RegisterApi();
  // Called at the end of Initialize; its result is what the host gets.
  virtual bool OnInitialize();

  // Deferred work and waits on the plugin's thread (see ModuleScheduler).
  void RunAt(const std::string& label, std::function<void()> callback, int64_t deadline) {
    scheduler_.RunAt(label, std::move(callback), deadline);
  }
  void SetTimer(const std::string& name, double interval_seconds, std::function<void()> callback) {
    scheduler_.SetTimer(name, interval_seconds, std::move(callback));
  }
  void CancelTimer(const std::string& name) { scheduler_.CancelTimer(name); }
  // The wait is labelled with T's registered name when T is registered.
  template <typename T>
  T Await(std::future<T>& future) {
    const TypeDescriptor* type = registry_.Find(StaticType::HashCode<T>().hash);
    return scheduler_.Await(future, type != nullptr ? std::string_view(type->name) : "");
  }
  void Sleep(int64_t milliseconds) { scheduler_.Sleep(milliseconds); }
  void Yield() { scheduler_.Yield(); }
  ModuleScheduler& scheduler() { return scheduler_; }

  // ---- Requests to the host's endpoints (plugin thread) ----
  // T is the result type (void for none); P a registered record whose fields become the
  // named arguments. Parameters that do not convert never reach the host (status 400).
  template <typename T = void>
  RequestResult<T> Request(uint32_t method, std::string_view path) {
    return RequestWith<T>(method, path, BindingResult());
  }
  template <typename T = void, typename P>
  RequestResult<T> Request(uint32_t method, std::string_view path, const P& parameters) {
    return RequestWith<T>(method, path, ToBinding(parameters, registry_));
  }
  // The raw form: on success the response is left for the caller to read and release.
  // `parameters` is a failed conversion or a structure (or "empty" for no arguments).
  RequestResult<void> RawRequest(uint32_t method, std::string_view path,
                                 const BindingResult& parameters, HostResponse* response);
  // Hands the response back to the host, once; later calls do nothing.
  static void ReleaseResponse(HostResponse* response);

  // ---- Events ----
  using ResourceHandler = std::function<void(const PluginResourceEvent&)>;
  using ServiceProxyHandler = std::function<void(const PluginServiceProxyResponse&)>;

  // The event name of a resource path: "OnJsonApiEvent" and the path's pieces joined by
  // "_", four entries at most (six under "kiv-platform-config").
  static std::string ResourceEventName(const std::string& path);
  // Whether `path` matches `pattern`, where "*" stands for a run of characters other than
  // "/" (an empty one too, but not past the end of the path).
  static bool MatchesResourcePattern(std::string_view pattern, std::string_view path);

  // Handlers of subscribed resource events: one per exact path, any number of patterns
  // (called in the order added, after the exact handler).
  void SetResourceHandler(const std::string& path, ResourceHandler handler);
  void AddResourcePatternHandler(std::string pattern, ResourceHandler handler);

  // Publishes under the specific name, then under the general one when they differ.
  void PublishResourceEvent(const PluginResourceEvent& event);
  // A Delete of `path` with "empty" data.
  void PublishResourceDeleted(const std::string& path);
  void PublishLcdsEvent(const PluginLcdsEvent& event);
  // A service-proxy result for one plugin: `event_name` (one of the three service-proxy
  // events) published with the plugin's id in the pass-through word, which the host
  // delivers to that plugin only.
  void PublishServiceProxyEvent(std::string_view event_name, uint32_t plugin_id,
                                const PluginServiceProxyResponse& response);

  // Service-proxy results (the module's own events). A pending request gets the result
  // stored under its key, one per fulfilment pass; an async handler gets every result of
  // its "service.method" key.
  void AddPendingServiceProxyRequest(const std::string& key, ServiceProxyHandler handler);
  void SetServiceProxyAsyncHandler(const std::string& key, ServiceProxyHandler handler);
  size_t service_proxy_mailbox_size() const;

  TypeRegistry& registry() { return registry_; }
  // Where RegisterApi declares the module's endpoints (endpoint_router.h).
  EndpointRouter& router() { return router_; }
  const EndpointRouter& router() const { return router_; }
  const TypeRegistry& registry() const { return registry_; }

  HostServices* host_services() const { return host_services_; }
  void* plugin_handle() const { return plugin_handle_; }
  const PluginApiVersion& host_version() const { return host_version_; }
  const PluginName& name() const { return name_; }
  const std::string& user_agent() const { return user_agent_; }
  // Made by Initialize; null before it.
  TelemetrySender* telemetry() const { return telemetry_.get(); }
  const std::vector<std::string>& help_tags() const { return help_tags_; }
  const PluginCallbacks* callbacks() const { return &callbacks_; }
  const ApiTable* api_table() const { return &api_table_; }
  int subscription_count(const std::string& event_name) const;

 private:
  friend class PluginRuntime;

  HostApi* host_api(const char* operation) const;

  template <typename T>
  RequestResult<T> RequestWith(uint32_t method, std::string_view path,
                               const BindingResult& parameters);
  // Reads the response's body (streamed or not) as a value and releases the response.
  RequestResult<BindingProperty> TakeResponseBody(uint32_t method, std::string_view path,
                                                  HostResponse* response);
  std::string ConvertResponseMessage(uint32_t method, std::string_view path,
                                     std::string_view error) const;

  // Incoming events: the host's callback, the converting handler per event name, and the
  // dispatchers behind them.
  using EventHandler = std::function<void(const std::string& name, const BindingProperty&)>;
  template <typename T>
  EventHandler MakeEventHandler(std::function<void(const T&)> handler);
  static void OnHostEvent(const HostEvent* event);
  void HandleHostEvent(const HostEvent& event);
  void DispatchResourceEvent(const PluginResourceEvent& event);
  void SubscribeOwnEvents();
  void StoreServiceProxyResult(const std::string& key, const PluginServiceProxyResponse& result);
  void RunServiceProxyAsyncHandler(const PluginServiceProxyResponse& result);
  void FulfilServiceProxyRequest();
  template <typename T>
  void PublishRecord(const std::string& name, const T& payload, uint32_t pass_through = 0);
  void PublishValue(const std::string& name, const BindingProperty& payload,
                    uint32_t pass_through = 0);

  // Hands the scheduler's host calls to this module's forwarders.
  class SchedulerForwarder final : public SchedulerHost {
   public:
    explicit SchedulerForwarder(AppModule* module) : module_(module) {}
    void ScheduleCallback(const char* label, HostScheduledCallback callback, void* user_data,
                          double delay_seconds) override {
      module_->ScheduleCallback(label, callback, user_data, delay_seconds);
    }
    void Pump() override { module_->Pump(); }
    void BeginWait(const char* label) override { module_->BeginWait(label); }
    void EndWait() override { module_->EndWait(); }

   private:
    AppModule* module_;
  };

  HostServices* host_services_ = nullptr;
  void* plugin_handle_ = nullptr;
  PluginApiVersion host_version_;
  PluginName name_;
  std::string user_agent_;
  std::vector<std::string> help_tags_;
  PluginCallbacks callbacks_{};
  // Empty until the router builds the module's table; the host may read it at any time.
  ApiTable api_table_{};
  std::unique_ptr<PluginLogTarget> log_target_;
  std::unique_ptr<TelemetrySender> telemetry_;
  TypeRegistry registry_;
  EndpointRouter router_{&registry_};
  // What api_table_ points into; built once RegisterApi has declared everything.
  std::unique_ptr<ApiTableStorage> api_storage_;
  // Event name to number of Subscribe calls not yet undone. Plugin thread only.
  std::map<std::string, int> subscriptions_;
  // Event name to its converting handler. Plugin thread only.
  std::map<std::string, EventHandler> event_handlers_;
  std::map<std::string, ResourceHandler> resource_handlers_;
  std::vector<std::pair<std::string, ResourceHandler>> resource_patterns_;
  // The service-proxy tables are also used by requesters elsewhere in the module.
  mutable Mutex mutex_;
  std::map<std::string, PluginServiceProxyResponse> service_proxy_mailbox_ GUARDED_BY(mutex_);
  std::map<std::string, ServiceProxyHandler> service_proxy_pending_ GUARDED_BY(mutex_);
  std::map<std::string, ServiceProxyHandler> service_proxy_async_ GUARDED_BY(mutex_);
  SchedulerForwarder scheduler_host_{this};
  ModuleScheduler scheduler_{&scheduler_host_};
};

template <typename T>
RequestResult<T> AppModule::RequestWith(uint32_t method, std::string_view path,
                                        const BindingResult& parameters) {
  HostResponse response{};
  RequestResult<void> sent = RawRequest(method, path, parameters, &response);
  if (!sent.ok()) {
    ReleaseResponse(&response);
    return sent.failure();
  }
  if constexpr (std::is_void_v<T>) {
    ReleaseResponse(&response);
    return {};
  } else {
    RequestResult<BindingProperty> body = TakeResponseBody(method, path, &response);
    if (!body.ok()) return body.failure();
    if constexpr (std::is_same_v<T, BindingProperty>) {
      return std::move(body.value());
    } else {
      T value{};
      BindingResult converted = FromBinding(body.value(), "<result>", &value, registry_);
      if (!converted.ok()) {
        return RequestFailure{0, ConvertResponseMessage(method, path, converted.error())};
      }
      return value;
    }
  }
}

}  // namespace Voro
