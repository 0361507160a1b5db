#include "login/login_module.h"

#include <string>
#include <string_view>
#include <vector>

#include "diag/assertion.h"
#include "diag/log.h"
#include "login/command_line_credentials.h"
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
  if (TaskActive()) return true;
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

std::optional<Client::Api::LoginSessionWallet> LoginModule::Wallet() const {
  const BindingProperty* packet = LoginDataPacket();
  if (packet == nullptr) return std::nullopt;
  Client::Api::LoginSessionWallet wallet;
  wallet.ip = packet->Field("ipBalance").ToSigned(0);
  wallet.vp = packet->Field("vpBalance").ToSigned(0);
  return wallet;
}

const BindingProperty* LoginModule::LoginDataPacket() const {
  if (session_ == nullptr || session_->login() == nullptr) return nullptr;
  const BindingProperty& packet = session_->login()->login_data_packet;
  return packet.type() == BindingType::kEmpty ? nullptr : &packet;
}

std::optional<Client::Api::PlatformGeneratedCredentials> LoginModule::PlatformCredentials() const {
  if (session_ == nullptr || session_->login() == nullptr) return std::nullopt;
  const ClientLogin& login = *session_->login();
  return Client::Api::PlatformGeneratedCredentials{login.username, login.platform_password,
                                                   login.gas_token};
}

std::optional<BindingProperty> LoginModule::InGameCredentials() const {
  if (session_ == nullptr || session_->login() == nullptr) return std::nullopt;
  const ClientLogin& login = *session_->login();
  if (login.queue_position.has_value() && login.in_game_credentials.has_value()) {
    return *login.in_game_credentials;
  }
  const BindingProperty& reconnect = login.login_data_packet.Field("reconnectInfo");
  if (reconnect.type() == BindingType::kStructure) {
    return BindingProperty(reconnect.Field("playerCredentials"));
  }
  return std::nullopt;
}

void LoginModule::PublishResource(const char* path, PluginResourceEventType type,
                                  BindingResult value) {
  if (!value.ok()) return;
  PluginResourceEvent event;
  event.uri = path;
  event.eventType = type;
  event.data = std::move(value.value());
  PublishResourceEvent(event);
}

void LoginModule::PublishSessionResources() {
  if (session_ == nullptr) return;
  if (LoggedIn()) {
    if (std::optional<Client::Api::LoginSessionWallet> wallet = Wallet()) {
      PublishResource(kWalletPath, PluginResourceEventType::Update, ToBinding(*wallet, registry()));
    } else {
      PublishResourceDeleted(kWalletPath);
    }
    if (const BindingProperty* packet = LoginDataPacket()) {
      PublishResource(kLoginDataPacketPath, PluginResourceEventType::Update,
                      BindingResult(*packet));
    }
    if (auto credentials = PlatformCredentials()) {
      PublishResource(kPlatformCredentialsPath, PluginResourceEventType::Create,
                      ToBinding(*credentials, registry()));
    }
    if (!session_->in_game_credentials_published) {
      if (std::optional<BindingProperty> in_game = InGameCredentials()) {
        PublishResource(kInGameCredentialsPath, PluginResourceEventType::Create,
                        BindingResult(std::move(*in_game)));
        session_->in_game_credentials_published = true;
      }
    }
  }
  PublishResource(kSessionPath, PluginResourceEventType::Update,
                  ToBinding(session_->Refresh(), registry()));
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
  ReadCommandLine();
  // The host resources the module follows for its whole life.
  SetResourceHandler(kPluginManagerStatusPath,
                     [this](const PluginResourceEvent& event) { OnPluginManagerStatus(event); });
  SetResourceHandler(kAccessTokenPath,
                     [this](const PluginResourceEvent& event) { OnAccessTokenUpdate(event); });
  SetResourceHandler(kPreShutdownPath, [this](const PluginResourceEvent&) { LogoutSession(); });
  for (const char* path : {kPluginManagerStatusPath, kPreShutdownPath, kAccessTokenPath}) {
    Subscribe(path);
  }
  // Delivers what the platform connection received and notices when it drops.
  SetTimer(kTickTimerName, kTickSeconds, [this] { OnTick(); });
  return true;
}

void LoginModule::Shutdown() {
  LogoutSession();
  AppModule::Shutdown();
}

void LoginModule::ReadCommandLine() {
  RequestResult<BindingProperty> arguments =
      Request<BindingProperty>(KIV_METHOD_GET, kCommandLineArgsPath);
  if (!arguments.ok()) {
    ReportAssertion("ALE-A5008F26", "Failed to get commandLineParams", "", 0, "");
    return;
  }
  if (std::optional<HeldCredentials> held = CredentialsFromCommandLine(arguments.value())) {
    credentials_ = std::move(held);
  }
  // A locally made authority for the platform server's certificate (a local simulator).
  const BindingProperty* ca_file = arguments.value().FindField(kLcdsCaFileArgument);
  if (ca_file != nullptr && ca_file->type() == BindingType::kString) {
    const std::string path(ca_file->GetString());
    TrustedCertificates extra = TrustedCertificates::FromPemFile(path);
    if (extra.empty()) {
      Log(kLevelWarn, Tag::DBG, "No certificate could be read from %s", path.c_str());
    } else {
      Log(kLevelAlways, Tag::DBG, "Trusting %zu more certificate(s) from %s", extra.size(),
          path.c_str());
      trusted_.Append(extra);
    }
  }
}

void LoginModule::OnPluginManagerStatus(const PluginResourceEvent& event) {
  if (event.eventType != PluginResourceEventType::Update) return;
  const BindingProperty& state = event.data.Field("state");
  const bool initialized = state.type() == BindingType::kString
                               ? state.GetString() == "PluginsInitialized"
                               : state.ToSigned(-1) == 1;
  if (!initialized || !credentials_.has_value() || LoginRunning()) return;
  StartLogin();
}

void LoginModule::OnAccessTokenUpdate(const PluginResourceEvent& event) {
  if (!credentials_.has_value() || credentials_->kind != CredentialKind::kAccessToken) return;
  Log(kLevelAlways, Tag::DBG, "Updating access token.");
  Client::Api::AccessToken token;
  if (FromBinding(event.data, "<access token>", &token, registry()).ok()) {
    credentials_->access_token = std::move(token);
  }
}

}  // namespace Voro
