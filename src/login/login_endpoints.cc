// LoginModule: the "/kiv-login/v1/" endpoints; what they do lives in the module's files
// (login_attempt.cc, platform_calls.cc).
#include <cstdint>
#include <string>
#include <vector>

#include "binding/router/endpoint_router.h"
#include "diag/log.h"
#include "login/login_module.h"
#include "plugin/endpoint_errors.h"

namespace Voro {

namespace {

using Client::Api::AccessToken;
using Client::Api::AccountStateResource;
using Client::Api::LcdsResponse;
using Client::Api::LoginSession;
using Client::Api::LoginSessionWallet;
using Client::Api::PlatformGeneratedCredentials;
using Client::Api::UsernameAndPassword;

}  // namespace

void LoginModule::RegisterEndpoints() {
  RegisterSessionEndpoints();
  RegisterAccountEndpoints();
  RegisterServiceProxyEndpoints();
}

void LoginModule::RegisterSessionEndpoints() {
  EndpointRouter& api = router();
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/access-token")
      .Description("Log in with an access token from the sign-on service.")
      .Parameter("token", "The access token.", ParameterLocation::kBody)
      .Handle([this](const AccessToken& token) -> EndpointReply<void> {
        if (LoginRunning()) return EndpointReply<void>();
        Log(kLevelAlways, Tag::DBG, "Logging in with QSA.");
        HeldCredentials credentials;
        credentials.kind = CredentialKind::kAccessToken;
        credentials.access_token = token;
        set_held_credentials(std::move(credentials));
        StartLogin();
        return EndpointReply<void>();
      });
  api.Declare(KIV_METHOD_POST, kSessionPath)
      .Description("Log in with a user name and password.")
      .Parameter("credentials", "The user name and password.", ParameterLocation::kBody)
      .Handle([this](const UsernameAndPassword& body) -> EndpointReply<LoginSession> {
        if (LoginRunning()) return EndpointError{409, kSessionExistsMessage};
        HeldCredentials credentials;
        credentials.kind = CredentialKind::kUsernameAndPassword;
        credentials.username_and_password = body;
        set_held_credentials(std::move(credentials));
        StartLogin();
        std::optional<LoginSession> session = CurrentSession();
        if (!session.has_value()) return NotFound(kNoSessionMessage);
        return EndpointReply<LoginSession>(std::move(*session)).Status(201);
      });
  api.Declare(KIV_METHOD_GET, kSessionPath)
      .Description("The current login session.")
      .Handle([this]() -> EndpointReply<LoginSession> {
        std::optional<LoginSession> session = CurrentSession();
        if (!session.has_value()) return NotFound(kNoSessionMessage);
        return std::move(*session);
      });
  api.Declare(KIV_METHOD_DELETE, kSessionPath)
      .Description("Log out and close the session.")
      .Handle([this]() -> EndpointReply<void> {
        LogoutSession();
        return EndpointReply<void>();
      });
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/session/invoke")
      .Description("Call a service of the platform server.")
      .Parameter("destination", "The service.")
      .Parameter("method", "The service's method.")
      .Parameter("args", "The method's arguments.")
      .Handle([this](const std::string& destination, const std::string& method,
                     const BindingProperty& args) -> EndpointReply<LcdsResponse> {
        // Checked here rather than by the router, so that the caller gets a 400.
        if (args.type() != BindingType::kCollection) {
          return EndpointError{400, "The arguments of an invoke must be a list."};
        }
        std::vector<BindingProperty> list(args.Elements().begin(), args.Elements().end());
        return InvokeLcds(destination, method, list);
      });
}

void LoginModule::RegisterAccountEndpoints() {
  EndpointRouter& api = router();
  api.Declare(KIV_METHOD_GET, "/kiv-login/v1/wallet")
      .Description("The player's wallet.")
      .Handle([this]() -> EndpointReply<LoginSessionWallet> {
        std::optional<LoginSessionWallet> wallet = Wallet();
        if (!wallet.has_value()) return NotFound(kNoSessionMessage);
        return *wallet;
      });
  api.Declare(KIV_METHOD_GET, "/kiv-login/v1/login-data-packet")
      .Description("The login data packet of the platform session.")
      .Handle([this]() -> EndpointReply<BindingProperty> {
        const BindingProperty* packet = LoginDataPacket();
        if (packet == nullptr) return NotFound(kNoSessionMessage);
        return BindingProperty(*packet);
      });
  api.Declare(KIV_METHOD_GET, "/kiv-login/v1/login-platform-credentials")
      .Description("The credentials the platform generated for this login.")
      .Handle([this]() -> EndpointReply<PlatformGeneratedCredentials> {
        std::optional<PlatformGeneratedCredentials> credentials = PlatformCredentials();
        if (!credentials.has_value()) return NotFound(kNoSessionMessage);
        return std::move(*credentials);
      });
  api.Declare(KIV_METHOD_GET, "/kiv-login/v1/login-in-game-creds")
      .Description("The in-game credentials from the login queue.")
      .Handle([this]() -> EndpointReply<BindingProperty> {
        std::optional<BindingProperty> credentials = InGameCredentials();
        if (!credentials.has_value()) return NotFound(kNoGameCredentialsMessage);
        return std::move(*credentials);
      });
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/summoner-created")
      .Description("Tell the login that the account's summoner exists now.")
      .Parameter("summonerId", "The new summoner.", ParameterLocation::kBody)
      .Handle([this](uint64_t summoner_id) -> EndpointReply<void> {
        return SummonerCreated(summoner_id);
      });
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/change-summoner-name")
      .Description("Tell the login that the summoner's name changed.")
      .Parameter("name", "The new name.", ParameterLocation::kBody)
      .Handle([this](const std::string&) -> EndpointReply<void> { return SummonerNameChanged(); });
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/new-player-flow-completed")
      .Description("Tell the login that the new-player flow is done.")
      .Handle([this]() -> EndpointReply<void> { return NewPlayerFlowCompleted(); });
  api.Declare(KIV_METHOD_GET, "/kiv-login/v1/account-state")
      .Description("The account's state, once fetched.")
      .Handle([this]() -> EndpointReply<AccountStateResource> {
        std::optional<AccountStateResource> state = AccountState();
        if (!state.has_value()) return NotFound(kNoAccountStateMessage);
        return *state;
      });
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/account-state")
      .Description("Start fetching the account's state every 30 seconds while it is moving.")
      .Handle([this]() -> EndpointReply<void> {
        StartAccountStatePoll();
        return EndpointReply<void>();
      });
}

void LoginModule::RegisterServiceProxyEndpoints() {
  EndpointRouter& api = router();
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/service-proxy-uuid-requests")
      .Description("Send a service-proxy request answered by a uuid event.")
      .Parameter("serviceName", "The service.")
      .Parameter("methodName", "The service's method.")
      .Parameter("pluginId", "The plugin the answer goes to.")
      .Parameter("payload", "The request's payload.")
      .Handle([this](const std::string& service, const std::string& method, uint32_t plugin,
                     const std::string& payload) -> EndpointReply<std::string> {
        return RequestServiceProxyUuid(service, method, plugin, payload);
      });
  api.Declare(KIV_METHOD_POST, "/kiv-login/v1/service-proxy-method-requests")
      .Description("Send a service-proxy request answered by a method event.")
      .Parameter("serviceName", "The service.")
      .Parameter("methodName", "The service's method.")
      .Parameter("responseMethodName", "The method name the answer carries.")
      .Parameter("responseRrrorName", "The method name an error answer carries.")
      .Parameter("pluginId", "The plugin the answer goes to.")
      .Parameter("payload", "The request's payload.")
      .Handle([this](const std::string& service, const std::string& method,
                     const std::string& response_method, const std::string& response_error,
                     uint32_t plugin, const std::string& payload) -> EndpointReply<void> {
        RequestServiceProxyMethod(service, method, response_method, response_error, plugin,
                                  payload);
        return EndpointReply<void>();
      });
  for (uint32_t method : {KIV_METHOD_POST, KIV_METHOD_DELETE}) {
    api.Declare(method, "/kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}")
        .Description(method == KIV_METHOD_POST
                         ? "Subscribe a plugin to asynchronous service-proxy messages."
                         : "End a plugin's subscription to asynchronous service-proxy messages.")
        .Parameter("serviceName", "The service.", ParameterLocation::kPath)
        .Parameter("methodName", "The service's method.", ParameterLocation::kPath)
        .Parameter("pluginId", "The subscribing plugin.")
        .Handle([this, method](const std::string& service, const std::string& service_method,
                               uint32_t plugin) -> EndpointReply<void> {
          if (method == KIV_METHOD_POST) {
            service_proxy().Subscribe(service, service_method, plugin);
          } else {
            service_proxy().Unsubscribe(service, service_method, plugin);
          }
          return EndpointReply<void>();
        });
  }
}

}  // namespace Voro
