// The records and events every plugin module shares with the host: resource events, the
// plugin manager's state, LCDS pushes and service-proxy results. Registered in each
// module's registry before the module's own API, tagged "vclient".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "binding/value/binding_property.h"
#include "binding/types/type_registry.h"

namespace Voro {

inline constexpr std::string_view kRuntimeTypesTag = "vclient";

inline constexpr std::string_view kJsonApiEventName = "OnJsonApiEvent";
inline constexpr std::string_view kLcdsEventName = "OnLcdsEvent";
inline constexpr std::string_view kServiceProxyUuidEventName = "OnServiceProxyUuidEvent";
inline constexpr std::string_view kServiceProxyMethodEventName = "OnServiceProxyMethodEvent";
inline constexpr std::string_view kServiceProxyAsyncEventName = "OnServiceProxyAsyncEvent";

enum class PluginManagerState : int32_t {
  NotReady = 0,
  PluginsInitialized = 1,
};

struct PluginManagerResource {
  PluginManagerState state = PluginManagerState::NotReady;
};

enum class PluginResourceEventType : int32_t {
  Create = 0,
  Update = 1,
  Delete = 2,
};

struct PluginResourceEvent {
  std::string uri;
  PluginResourceEventType eventType = PluginResourceEventType::Create;
  BindingProperty data;
};

struct PluginLcdsEvent {
  std::string clientId;
  std::string subtopic;
  std::string typeName;
  BindingProperty body;
};

struct PluginLcdsResponse {
  std::string typeName;
  BindingProperty body;
};

struct PluginServiceProxyResponse {
  std::string uuid;
  std::string serviceName;
  std::string methodName;
  std::string payload;
  std::string status;
  std::string error;
};

// Registers the types above and the five runtime events.
void RegisterPluginRuntimeTypes(TypeRegistry& registry);

}  // namespace Voro
