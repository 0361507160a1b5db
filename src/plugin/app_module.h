// The base of every plugin module: the host's services, the plugin's names and version,
// thin forwarders to the host's function table, and the hooks a module overrides.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kiv/plugin_abi.h"
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
  // Drops every subscription still counted. Overrides call the base last.
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
};

}  // namespace Voro
