// The base of every plugin module: the host's services, the plugin's names and version,
// thin forwarders to the host's function table, and the hooks a module overrides.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kiv/plugin_abi.h"
#include "plugin/module_scheduler.h"
#include "plugin/plugin_api_version.h"
#include "plugin/plugin_name.h"

namespace Voro {

class PluginLogTarget;

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
  template <typename T>
  T Await(std::future<T>& future) {
    return scheduler_.Await(future);
  }
  void Sleep(int64_t milliseconds) { scheduler_.Sleep(milliseconds); }
  void Yield() { scheduler_.Yield(); }
  ModuleScheduler& scheduler() { return scheduler_; }

  // The event name of a resource path: "OnJsonApiEvent" and the path's pieces joined by
  // "_", four entries at most (six under "kiv-platform-config").
  static std::string ResourceEventName(const std::string& path);

  HostServices* host_services() const { return host_services_; }
  void* plugin_handle() const { return plugin_handle_; }
  const PluginApiVersion& host_version() const { return host_version_; }
  const PluginName& name() const { return name_; }
  const std::string& user_agent() const { return user_agent_; }
  const std::vector<std::string>& help_tags() const { return help_tags_; }
  const PluginCallbacks* callbacks() const { return &callbacks_; }
  const ApiTable* api_table() const { return &api_table_; }
  int subscription_count(const std::string& event_name) const;

 private:
  friend class PluginRuntime;

  HostApi* host_api(const char* operation) const;

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
  // Event name to number of Subscribe calls not yet undone. Plugin thread only.
  std::map<std::string, int> subscriptions_;
  SchedulerForwarder scheduler_host_{this};
  ModuleScheduler scheduler_{&scheduler_host_};
};

}  // namespace Voro
