#include "login/service_proxy_router.h"

#include <cstdio>
#include <utility>

#include "binding/value/base64.h"
#include "diag/gzip.h"
#include "diag/log.h"

namespace Voro {

namespace {

constexpr char kAckStatus[] = "ACK";
constexpr char kDecompressFailed[] =
    "Failed to decompress lcdsServiceProxyResponse payload, zlib returned %d";

}  // namespace

void ServiceProxyRouter::AddUuidCall(const std::string& uuid, uint32_t plugin_id) {
  uuid_calls_[uuid] = plugin_id;
}

void ServiceProxyRouter::AddMethodRegistration(const std::string& service_name, uint32_t plugin_id,
                                               std::string method_name,
                                               std::string response_method_name,
                                               std::string response_error_name) {
  registrations_[service_name].push_back({plugin_id, std::move(method_name),
                                          std::move(response_method_name),
                                          std::move(response_error_name)});
}

void ServiceProxyRouter::Subscribe(const std::string& service_name, const std::string& method_name,
                                   uint32_t plugin_id) {
  subscriptions_[service_name + method_name].insert(plugin_id);
}

void ServiceProxyRouter::Unsubscribe(const std::string& service_name,
                                     const std::string& method_name, uint32_t plugin_id) {
  auto it = subscriptions_.find(service_name + method_name);
  if (it != subscriptions_.end()) it->second.erase(plugin_id);
}

size_t ServiceProxyRouter::method_registrations() const {
  size_t count = 0;
  for (const auto& [service, list] : registrations_) count += list.size();
  return count;
}

PluginServiceProxyResponse ServiceProxyRouter::ToEvent(
    const Client::Api::LcdsServiceProxyResponse& response) {
  PluginServiceProxyResponse event;
  event.serviceName = response.serviceName;
  event.methodName = response.methodName;
  event.status = response.status;
  if (!response.compressedPayload) {
    event.payload = response.payload;
    return event;
  }
  std::vector<uint8_t> compressed;
  int status = kInflateDataError;  // text that is not Base64 is no gzip data either
  if (Base64Decode(response.payload, &compressed)) {
    // The output starts at twice the input's size and doubles from there, up to the cap.
    InflateResult inflated =
        InflateGzip(compressed.data(), compressed.size(), 2 * compressed.size());
    if (inflated.ok()) {
      event.payload = std::string(inflated.text());
      return event;
    }
    status = inflated.status();
  }
  char text[96];
  std::snprintf(text, sizeof text, kDecompressFailed, status);
  event.error = text;
  return event;
}

std::vector<ServiceProxyRouter::Delivery> ServiceProxyRouter::Route(
    const Client::Api::LcdsServiceProxyResponse& response, std::string_view body_json) {
  std::vector<Delivery> deliveries;
  if (response.status == kAckStatus) return deliveries;
  PluginServiceProxyResponse event = ToEvent(response);

  if (auto call = uuid_calls_.find(response.messageId); call != uuid_calls_.end()) {
    event.uuid = response.messageId;
    deliveries.push_back({kServiceProxyUuidEventName, call->second, std::move(event)});
    uuid_calls_.erase(call);
    return deliveries;
  }

  if (auto service = registrations_.find(response.serviceName); service != registrations_.end()) {
    std::vector<Registration>& list = service->second;
    const std::string& method = response.methodName;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->response_method_name != method && it->response_error_name != method &&
          it->method_name != method) {
        continue;
      }
      event.methodName = it->response_method_name;
      if (event.error.empty()) {
        if (method == it->response_error_name) {
          Log(kLevelWarn, Tag::DBG, "Service proxy error method called: %s", method.c_str());
          event.error = event.payload;
        } else if (method == it->method_name) {
          Log(kLevelWarn, Tag::DBG, "Service proxy is not enabled: %s",
              response.serviceName.c_str());
          event.error = response.serviceName + " proxy is not enabled.";
        }
      }
      deliveries.push_back({kServiceProxyMethodEventName, it->plugin_id, std::move(event)});
      list.erase(it);
      if (list.empty()) registrations_.erase(service);
      return deliveries;
    }
  }

  if (auto subscribers = subscriptions_.find(response.serviceName + response.methodName);
      subscribers != subscriptions_.end() && !subscribers->second.empty()) {
    for (uint32_t plugin : subscribers->second) {
      deliveries.push_back({kServiceProxyAsyncEventName, plugin, event});
    }
    return deliveries;
  }

  const std::string text(body_json);
  Log(kLevelWarn, Tag::DBG, "No handler found for service proxy response: %s", text.c_str());
  return deliveries;
}

std::vector<ServiceProxyRouter::Delivery> ServiceProxyRouter::FailPending(
    const std::string& error) {
  std::vector<Delivery> deliveries;
  for (const auto& [uuid, plugin] : uuid_calls_) {
    PluginServiceProxyResponse event;
    event.uuid = uuid;
    event.error = error;
    deliveries.push_back({kServiceProxyUuidEventName, plugin, std::move(event)});
  }
  uuid_calls_.clear();
  for (const auto& [service, list] : registrations_) {
    for (const Registration& registration : list) {
      PluginServiceProxyResponse event;
      event.serviceName = service;
      event.methodName = registration.method_name;
      event.error = error;
      deliveries.push_back(
          {kServiceProxyMethodEventName, registration.plugin_id, std::move(event)});
    }
  }
  registrations_.clear();
  return deliveries;
}

}  // namespace Voro
