// Who waits for the platform's service-proxy answers, and where each answer goes.
//
// A service-proxy call is answered later by a pushed response. Plugins wait for it in three
// ways: by the call's uuid, by a registration for a service's method (oldest first), or by
// an asynchronous subscription to a service and method. Route turns one response into the
// events to send, each to one plugin; FailPending turns every waiting call into an error
// event (a logout).
//
// Threads: the module's scheduler only (endpoints, the tick, pushes), so no lock.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "login/login_api_types.h"
#include "plugin/plugin_runtime_types.h"

namespace Voro {

class ServiceProxyRouter {
 public:
  struct Delivery {
    std::string_view event_name;  // one of the three service-proxy events
    uint32_t plugin_id;
    PluginServiceProxyResponse response;
  };

  void AddUuidCall(const std::string& uuid, uint32_t plugin_id);
  // Forgets a uuid call (its failure was told already).
  void RemoveUuidCall(const std::string& uuid) { uuid_calls_.erase(uuid); }
  void AddMethodRegistration(const std::string& service_name, uint32_t plugin_id,
                             std::string method_name, std::string response_method_name,
                             std::string response_error_name);
  void Subscribe(const std::string& service_name, const std::string& method_name,
                 uint32_t plugin_id);
  void Unsubscribe(const std::string& service_name, const std::string& method_name,
                   uint32_t plugin_id);

  // The events a response produces: none for an acknowledge ("ACK") or when nobody waits
  // (logged with `body_json`), else one for its uuid, its method or each async subscriber.
  std::vector<Delivery> Route(const Client::Api::LcdsServiceProxyResponse& response,
                              std::string_view body_json);
  // Every pending uuid call and method registration, answered with `error`; both tables are
  // emptied, the subscriptions stay.
  std::vector<Delivery> FailPending(const std::string& error);

  // The event a response makes before routing: names, status and the payload, inflated when
  // compressed (or the error that says why it could not be).
  static PluginServiceProxyResponse ToEvent(const Client::Api::LcdsServiceProxyResponse& response);

  size_t pending_uuid_calls() const { return uuid_calls_.size(); }
  size_t method_registrations() const;

 private:
  struct Registration {
    uint32_t plugin_id;
    std::string method_name;
    std::string response_method_name;
    std::string response_error_name;
  };

  std::map<std::string, uint32_t> uuid_calls_;
  std::map<std::string, std::vector<Registration>> registrations_;  // oldest first
  // Keyed by the service name followed by the method name, without a separator.
  std::map<std::string, std::set<uint32_t>> subscriptions_;
};

}  // namespace Voro
