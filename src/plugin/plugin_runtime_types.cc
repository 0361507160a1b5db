#include "plugin/plugin_runtime_types.h"

#include <vector>

#include "binding/types/record_builder.h"
#include "binding/types/static_type.h"

namespace Voro {

namespace {

const std::vector<std::string> kRuntimeNamespace = {"Voro", "Client", "Api"};

template <typename T>
void AddRuntimeEvent(TypeRegistry& registry, std::string_view name, std::string description) {
  registry.AddEvent({std::string(name),
                     kRuntimeNamespace,
                     StaticType::HashCode<T>().hash,
                     std::move(description),
                     {std::string(kRuntimeTypesTag)}});
}

}  // namespace

void RegisterPluginRuntimeTypes(TypeRegistry& registry) {
  const std::string tag(kRuntimeTypesTag);
  registry.Enum<PluginManagerState>(kRuntimeNamespace, "PluginManagerState")
      .Tag(tag)
      .Value("NotReady", PluginManagerState::NotReady)
      .Value("PluginsInitialized", PluginManagerState::PluginsInitialized);
  registry.Record<PluginManagerResource>(kRuntimeNamespace, "PluginManagerResource")
      .Tag(tag)
      .Field("state", &PluginManagerResource::state);
  registry.Enum<PluginResourceEventType>(kRuntimeNamespace, "PluginResourceEventType")
      .Tag(tag)
      .Value("Create", PluginResourceEventType::Create)
      .Value("Update", PluginResourceEventType::Update)
      .Value("Delete", PluginResourceEventType::Delete);
  registry.Record<PluginResourceEvent>(kRuntimeNamespace, "PluginResourceEvent")
      .Tag(tag)
      .Field("uri", &PluginResourceEvent::uri)
      .Field("eventType", &PluginResourceEvent::eventType)
      .Field("data", &PluginResourceEvent::data);
  registry.Record<PluginLcdsEvent>(kRuntimeNamespace, "PluginLcdsEvent")
      .Tag(tag)
      .Field("clientId", &PluginLcdsEvent::clientId)
      .Field("subtopic", &PluginLcdsEvent::subtopic)
      .Field("typeName", &PluginLcdsEvent::typeName)
      .Field("body", &PluginLcdsEvent::body);
  registry.Record<PluginLcdsResponse>(kRuntimeNamespace, "PluginLcdsResponse")
      .Tag(tag)
      .Field("typeName", &PluginLcdsResponse::typeName)
      .Field("body", &PluginLcdsResponse::body);
  registry.Record<PluginServiceProxyResponse>(kRuntimeNamespace, "PluginServiceProxyResponse")
      .Tag(tag)
      .Field("uuid", &PluginServiceProxyResponse::uuid)
      .Field("serviceName", &PluginServiceProxyResponse::serviceName)
      .Field("methodName", &PluginServiceProxyResponse::methodName)
      .Field("payload", &PluginServiceProxyResponse::payload)
      .Field("status", &PluginServiceProxyResponse::status)
      .Field("error", &PluginServiceProxyResponse::error);

  AddRuntimeEvent<PluginResourceEvent>(registry, kJsonApiEventName,
                                       "Fired when a resource is changed.");
  AddRuntimeEvent<PluginLcdsEvent>(registry, kLcdsEventName,
                                   "Fired when a message is received over the LCDS connection.");
  AddRuntimeEvent<PluginServiceProxyResponse>(
      registry, kServiceProxyUuidEventName,
      "Fired when a uuid-based service proxy message is received.");
  AddRuntimeEvent<PluginServiceProxyResponse>(
      registry, kServiceProxyMethodEventName,
      "Fired when a method-based service proxy message is received.");
  AddRuntimeEvent<PluginServiceProxyResponse>(
      registry, kServiceProxyAsyncEventName,
      "Fired when an async service proxy message is received.");
}

}  // namespace Voro
