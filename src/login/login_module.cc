#include "login/login_module.h"

#include <string>
#include <string_view>
#include <vector>

#include "diag/log.h"
#include "login/login_api_types.h"

namespace Voro {

void LoginModule::RegisterApi() {
  Client::Api::RegisterLoginApiTypes(registry());
  RegisterEvents();
}

void LoginModule::RegisterEvents() {
  // The payload records belong to the runtime; the module declares what it raises.
  const std::vector<std::string> name_space = {"Voro", "Client", "Api"};
  const uint32_t lcds_event = StaticType::HashCode<PluginLcdsEvent>().hash;
  const uint32_t proxy_result = StaticType::HashCode<PluginServiceProxyResponse>().hash;
  const struct {
    std::string_view name;
    uint32_t payload;
    const char* description;
  } events[] = {
      {kLcdsEventName, lcds_event, "A message pushed by the platform server."},
      {kServiceProxyUuidEventName, proxy_result,
       "The answer to a service-proxy request, addressed by its uuid."},
      {kServiceProxyMethodEventName, proxy_result,
       "The answer to a service-proxy request, addressed by its response method."},
      {kServiceProxyAsyncEventName, proxy_result,
       "An asynchronous service-proxy message for a subscribed plugin."},
  };
  for (const auto& event : events) {
    registry().AddEvent(
        {std::string(event.name), name_space, event.payload, event.description, help_tags()});
  }
}

bool LoginModule::OnInitialize() {
  Log(kLevelAlways, Tag::DBG, "%s initialized, user agent \"%s\"", name().full_name.c_str(),
      user_agent().c_str());
  // The host resources the module follows for its whole life.
  for (const char* path : {kPluginManagerStatusPath, kPreShutdownPath, kAccessTokenPath}) {
    Subscribe(path);
  }
  return true;
}

}  // namespace Voro
