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
  RegisterEndpoints();
}

std::optional<Client::Api::LoginSession> LoginModule::CurrentSession() {
  if (session_ == nullptr) return std::nullopt;
  return session_->Refresh();
}

bool LoginModule::LoginRunning() const {
  if (session_ == nullptr) return false;
  const ClientLogin* login = session_->login();
  if (login != nullptr) return !ClientLogin::IsFinished(login->state());
  // Signing on, before the login object exists.
  const Client::Api::LoginSessionStates state = session_->session().state;
  return state == Client::Api::LoginSessionStates::IN_PROGRESS ||
         state == Client::Api::LoginSessionStates::LOGGING_OUT;
}

bool LoginModule::LoggedIn() const {
  return session_ != nullptr && session_->login() != nullptr &&
         session_->login()->state() == ClientLogin::kLoggedIn;
}

void LoginModule::PublishSessionResources() {
  if (session_ == nullptr) return;
  // The logged-in resources (wallet, login data packet, platform and in-game credentials)
  // come with the platform session; until then only the session itself is published.
  PluginResourceEvent event;
  event.uri = kSessionPath;
  event.eventType = PluginResourceEventType::Update;
  BindingResult value = ToBinding(session_->Refresh(), registry());
  if (!value.ok()) return;
  event.data = std::move(value.value());
  PublishResourceEvent(event);
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
